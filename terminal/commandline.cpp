#include "terminal/commandline.h"

#include <QCommandLineParser>
#include <QFile>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "engine/sendable.h"
#include "terminal/terminaltexts.h"

namespace {

// A password file bigger than this is not a password file.
constexpr qint64 MaxPasswordBytes = 4096;
// A step longer than an hour is a typing error.
constexpr qint64 MaxArticleSeconds = 3600;

const QString OptionRun = QStringLiteral("run");
const QString OptionName = QStringLiteral("name");
const QString OptionType = QStringLiteral("type");
const QString OptionUser = QStringLiteral("user");
const QString OptionPasswordFile = QStringLiteral("password-file");
const QString OptionFormat = QStringLiteral("format");
const QString OptionArticles = QStringLiteral("articles");
const QString OptionConnections = QStringLiteral("connections");
const QString OptionArticleSeconds = QStringLiteral("article-seconds");
const QString OptionArticleCap = QStringLiteral("article-cap");
const QString OptionHelp = QStringLiteral("help");
const QString OptionVersion = QStringLiteral("version");

// Names under which people try to hand over a password directly.
const QStringList PasswordOptionNames
    = {QStringLiteral("password"), QStringLiteral("pass"), QStringLiteral("passwd"),
       QStringLiteral("pw"), QStringLiteral("p")};

termios s_savedTerminal = {};

// Ctrl-C at the prompt must not leave the terminal without echo.
extern "C" void restoreTerminalAndStop(int signal)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &s_savedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// A password typed at the terminal is not shown.
QByteArray readHiddenLine()
{
    std::cerr << TerminalTexts::PasswordPrompt.toStdString() << std::flush;
    const bool terminal = tcgetattr(STDIN_FILENO, &s_savedTerminal) == 0;
    struct sigaction restore = {};
    restore.sa_handler = restoreTerminalAndStop;
    sigemptyset(&restore.sa_mask);
    struct sigaction savedInt = {};
    struct sigaction savedTerm = {};
    if (terminal) {
        sigaction(SIGINT, &restore, &savedInt);
        sigaction(SIGTERM, &restore, &savedTerm);
        termios quiet = s_savedTerminal;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &s_savedTerminal);
        sigaction(SIGINT, &savedInt, nullptr);
        sigaction(SIGTERM, &savedTerm, nullptr);
    }
    std::cerr << '\n';
    return QByteArray::fromStdString(line);
}

// The file's text without one trailing line end; an error text when it cannot be had.
QString readPasswordFile(const QString &path, QString &password)
{
    QByteArray bytes;
    if (path == u"-" && isatty(STDIN_FILENO)) {
        bytes = readHiddenLine();
    } else {
        QFile file(path);
        const bool opened
            = path == u"-" ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
        if (!opened)
            return TerminalTexts::PasswordUnreadable.arg(file.errorString());
        bytes = file.read(MaxPasswordBytes + 1);
        if (bytes.size() > MaxPasswordBytes)
            return TerminalTexts::PasswordTooLong;
    }
    if (bytes.endsWith('\n'))
        bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
    password = QString::fromUtf8(bytes);
    return {};
}

// A whole number in decimal digits alone, within the bounds.
bool readBounded(const QString &text, qint64 low, qint64 high, qint64 &value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    value = text.toLongLong();
    return value >= low && value <= high;
}

CommandLine usageError(const QString &message)
{
    CommandLine result;
    result.error = message;
    return result;
}

} // namespace

bool WantsTerminal(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument.startsWith(QLatin1String("--")) || argument == u"-h")
            return true;
    }
    return false;
}

CommandLine ParseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOption({OptionRun, {}, QStringLiteral("ADDRESS")});
    parser.addOption({OptionName, {}, QStringLiteral("NAME")});
    parser.addOption({OptionType, {}, QStringLiteral("TYPE")});
    parser.addOption({OptionUser, {}, QStringLiteral("USER")});
    parser.addOption({OptionPasswordFile, {}, QStringLiteral("FILE")});
    parser.addOption({OptionFormat, {}, QStringLiteral("FORMAT")});
    parser.addOption({OptionArticles, {}});
    parser.addOption({OptionConnections, {}, QStringLiteral("N")});
    parser.addOption({OptionArticleSeconds, {}, QStringLiteral("S")});
    parser.addOption({OptionArticleCap, {}, QStringLiteral("BYTES")});
    parser.addOption({{OptionHelp, QStringLiteral("h")}, {}});
    parser.addOption({OptionVersion, {}});
    if (!parser.parse(QStringList{TerminalTexts::ProgramName} + arguments)) {
        for (const QString &name : parser.unknownOptionNames()) {
            if (PasswordOptionNames.contains(name, Qt::CaseInsensitive))
                return usageError(TerminalTexts::PasswordOnCommandLine);
        }
        return usageError(parser.errorText());
    }

    CommandLine result;
    if (parser.isSet(OptionHelp)) {
        result.action = CommandLine::Help;
        return result;
    }
    if (parser.isSet(OptionVersion)) {
        result.action = CommandLine::Version;
        return result;
    }
    // A stray word may be a password that lost its option: it is not repeated back.
    if (!parser.positionalArguments().isEmpty())
        return usageError(TerminalTexts::UnexpectedArgument);
    if (!parser.isSet(OptionRun))
        return usageError(TerminalTexts::NoAddress);

    RunRequest &request = result.request;
    request.address = parser.value(OptionRun);
    // The window's start button stays disabled while the address field is empty.
    if (request.address.isEmpty())
        return usageError(TerminalTexts::EmptyAddress);
    request.name = parser.value(OptionName);
    if (!IsSendable(request.name))
        return usageError(TerminalTexts::ControlCharacters.arg(u"--name"));

    const QString type = parser.isSet(OptionType) ? parser.value(OptionType) : QStringLiteral("0");
    if (type.size() != 1 || type[0] < u'0' || type[0] > u'2')
        return usageError(TerminalTexts::BadType);
    request.serverType = type[0].unicode() - '0';

    const QString format
        = parser.isSet(OptionFormat) ? parser.value(OptionFormat) : QStringLiteral("text");
    if (format == u"text")
        request.format = OutputFormat::Text;
    else if (format == u"json")
        request.format = OutputFormat::Json;
    else if (format == u"url")
        request.format = OutputFormat::Url;
    else
        return usageError(TerminalTexts::BadFormat);

    request.articles = parser.isSet(OptionArticles);
    if (!request.articles
        && (parser.isSet(OptionConnections) || parser.isSet(OptionArticleSeconds)
            || parser.isSet(OptionArticleCap)))
        return usageError(TerminalTexts::ArticleOptionWithoutArticles);
    qint64 value = 0;
    if (parser.isSet(OptionConnections)) {
        if (!readBounded(parser.value(OptionConnections), 1,
                         ArticleSweepSettings::MaxConnectionsLimit, value))
            return usageError(TerminalTexts::BadConnections);
        request.connections = int(value);
    }
    if (parser.isSet(OptionArticleSeconds)) {
        if (!readBounded(parser.value(OptionArticleSeconds), 1, MaxArticleSeconds, value))
            return usageError(TerminalTexts::BadArticleSeconds);
        request.articleSeconds = int(value);
    }
    if (parser.isSet(OptionArticleCap)) {
        if (!readBounded(parser.value(OptionArticleCap), 1, 999'999'999'999'999'999, value))
            return usageError(TerminalTexts::BadArticleCap);
        request.articleCap = value;
    }

    request.useAuthentication = parser.isSet(OptionUser);
    if (parser.isSet(OptionPasswordFile)) {
        if (!request.useAuthentication)
            return usageError(TerminalTexts::PasswordWithoutUser);
        const QString error = readPasswordFile(parser.value(OptionPasswordFile), request.password);
        if (!error.isEmpty())
            return usageError(error);
    } else if (request.useAuthentication) {
        if (!qEnvironmentVariableIsSet(qPrintable(TerminalTexts::PasswordVariable)))
            return usageError(TerminalTexts::UserWithoutPassword);
        request.password = qEnvironmentVariable(qPrintable(TerminalTexts::PasswordVariable));
    }
    if (request.useAuthentication) {
        request.user = parser.value(OptionUser);
        if (!IsSendable(request.user))
            return usageError(TerminalTexts::ControlCharacters.arg(u"--user"));
        if (!IsSendable(request.password))
            return usageError(TerminalTexts::ControlCharacters.arg(u"the password"));
    }
    result.action = CommandLine::Run;
    return result;
}
