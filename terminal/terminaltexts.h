#pragma once

#include <QString>

// The texts of the terminal face. Where the window has a Japanese caption for a thing, the
// help shows that caption (from ui/texts.h) beside the English word.
namespace TerminalTexts {

inline const QString ProgramName = QStringLiteral("newsbench");
inline const QString PasswordVariable = QStringLiteral("NEWSBENCH_PASSWORD");

// %1 開始, %2 アドレス, %3 プロバイダ名, %4 種別, %5-%7 the kinds, %8 ユーザ認証,
// %9 結果をコピー, %10 結果を報告, %11 接続できませんでした。, %12 中止,
// %13 記事の速度を計測する
inline const QString Help = QStringLiteral(
    "Usage:\n"
    "  newsbench                     opens the window\n"
    "  newsbench --run ADDRESS [--name NAME] [--type 0|1|2] [--user USER]\n"
    "            [--password-file FILE|-] [--format text|json|url]\n"
    "            [--articles [--connections N] [--article-seconds S]\n"
    "            [--article-cap BYTES]]\n"
    "  newsbench --help | --version\n"
    "\n"
    "--run runs the benchmark of the window's %1 button in the terminal, without a\n"
    "display, and prints the report when the run is complete.\n"
    "\n"
    "  --run ADDRESS         the news server, as typed into the window's %2 field\n"
    "                        (news.example.com, host:port, nntp://host, nntps://host)\n"
    "  --name NAME           the name of the service under test (%3); empty if not given\n"
    "  --type 0|1|2          the kind of service (%4): 0 %5 (provider, the default),\n"
    "                        1 %6 (paid server), 2 %7 (open server)\n"
    "  --user USER           logs in as USER (%8), with the password from\n"
    "  --password-file FILE  the file FILE, one line (- reads standard input), or else\n"
    "                        the environment variable NEWSBENCH_PASSWORD. A password is\n"
    "                        never taken from the command line, where other users can\n"
    "                        read it; without --user, NEWSBENCH_PASSWORD is not used.\n"
    "  --articles            also measures the article speed (%13): after the\n"
    "                        run, BODY over 1, 2, 4, ... connections up to N\n"
    "  --connections N       the most connections at once, 1 to 50 (default 8)\n"
    "  --article-seconds S   each step's time once its connections are ready,\n"
    "                        1 to 3600 (default 5)\n"
    "  --article-cap BYTES   the measurement stops after this many bytes\n"
    "                        (default 200000000)\n"
    "  --format text         the 28-line report that %9 copies (the default;\n"
    "                        UTF-8, each line ended by LF), with the article lines\n"
    "                        after it when --articles is given\n"
    "  --format json         one object with every result of the run, the version, and\n"
    "                        the report address as reportUrl\n"
    "  --format url          the address that %10 opens, alone\n"
    "  --help, -h            this help\n"
    "  --version             the version text of the report\n"
    "\n"
    "Progress goes to standard error in the window's words; the report goes to standard\n"
    "output, only after a complete run (--format json also after a refused LIST).\n"
    "\n"
    "Exit status:\n"
    "  0    the run is complete and its report written\n"
    "  1    standard output could not be written\n"
    "  2    no connection could be made, or the address cannot be used (%11)\n"
    "  3    the run failed or is incomplete (the server refused LIST): the window's\n"
    "       message or the server's reply is on standard error\n"
    "  64   usage error\n"
    "Ctrl-C or SIGTERM stops a run as %12 does, and the program ends by that signal\n"
    "(a shell shows 130 or 143). When the reader of its output goes away (| head),\n"
    "it says QUIT to the server and ends by SIGPIPE (141), as a filter does.\n");

inline const QString TryHelp = QStringLiteral("Try 'newsbench --help' for the options.");
inline const QString NoAddress = QStringLiteral("give the news server with --run ADDRESS");
inline const QString EmptyAddress = QStringLiteral("the address after --run is empty");
inline const QString UnexpectedArgument
    = QStringLiteral("unexpected argument; every value follows its option");
inline const QString BadType = QStringLiteral("--type takes 0, 1 or 2");
inline const QString BadFormat = QStringLiteral("--format takes text, json or url");
inline const QString ArticleOptionWithoutArticles
    = QStringLiteral("--connections, --article-seconds and --article-cap go with --articles");
inline const QString BadConnections = QStringLiteral("--connections takes a number from 1 to 50");
inline const QString BadArticleSeconds
    = QStringLiteral("--article-seconds takes a number of seconds from 1 to 3600");
inline const QString BadArticleCap
    = QStringLiteral("--article-cap takes a number of bytes, 1 or more");
inline const QString ControlCharacters
    = QStringLiteral("%1 must be one line without control characters");
inline const QString PasswordOnCommandLine = QStringLiteral(
    "a password is never taken from the command line, where other users can read it;\n"
    "give it with --password-file FILE, --password-file - (standard input) or the\n"
    "environment variable NEWSBENCH_PASSWORD");
inline const QString UserWithoutPassword
    = QStringLiteral("--user needs a password: --password-file FILE, --password-file - or the "
                     "environment variable NEWSBENCH_PASSWORD");
inline const QString PasswordWithoutUser
    = QStringLiteral("--password-file needs --user: the password is sent with a user name");
// The file's name is not repeated: it may be a password typed in the wrong place.
inline const QString PasswordUnreadable
    = QStringLiteral("cannot read the password file given with --password-file: %1");
inline const QString PasswordTooLong = QStringLiteral("the password file is too long");
inline const QString PasswordPrompt = QStringLiteral("Password: ");
inline const QString ListRefused = QStringLiteral("the server refused LIST: %1");
inline const QString OutputFailed = QStringLiteral("cannot write the report: %1");

} // namespace TerminalTexts
