#include "terminal/terminalrun.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/runfailure.h"
#include "engine/shiftjis.h"
#include "report/jsonreport.h"
#include "report/textreport.h"
#include "report/versionstring.h"
#include "report/webreport.h"
#include "terminal/commandline.h"
#include "terminal/terminaltexts.h"
#include "terminal/terminalview.h"
#include "ui/messageboxes.h"
#include "ui/texts.h"

namespace {

// BSD sysexits.h EX_USAGE. A run stopped by a signal, or whose reader went away, ends by
// that signal itself, as a Unix filter does: a shell then reports 130, 143 or 141, and a
// shell loop that runs the program stops with it.
enum ExitStatus {
    ExitCompleted = 0,
    ExitOutputFailed = 1,
    ExitNoConnection = 2,
    ExitFailed = 3,
    ExitUsage = 64,
};

int s_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t s_stopSignal = 0;

void wakeUp()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[1], &byte, 1);
}

extern "C" void onStopSignal(int signal)
{
    const int savedErrno = errno;
    s_stopSignal = signal;
    wakeUp();
    errno = savedErrno;
}

// Ends the program by the signal's default action, now: no destructor runs, so nothing waits
// for a name lookup that is still under way in Qt's thread.
[[noreturn]] void dieOf(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);
}

// Ctrl-C and SIGTERM do what the stop button does: the connection is closed and the run
// ends in the wait it is in. A second Ctrl-C ends the program at once. A signal the program
// was started to ignore stays ignored. Output whose reader has gone stops the run too, but
// the server is told QUIT first.
class StopOnSignal
{
    Q_DISABLE_COPY_MOVE(StopOnSignal)

public:
    explicit StopOnSignal(BenchmarkRun &run)
    {
        s_stopSignal = 0;
        if (::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(s_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [&run] {
            char bytes[16];
            while (::read(s_signalPipe[0], bytes, sizeof bytes) > 0) { }
            if (OutputGone() && run.connection.ClientSocket1.isConnected())
                run.connection.SendCommand("QUIT\r\n");
            // The article measurement's connections say QUIT themselves as they close.
            run.stop();
        });
        SetOutputGoneHandler(wakeUp);
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_RESTART;
        for (std::size_t i = 0; i < std::size(Signals); ++i) {
            sigaction(Signals[i], &action, &m_saved[i]);
            if (m_saved[i].sa_handler == SIG_IGN)
                sigaction(Signals[i], &m_saved[i], nullptr);
        }
    }
    ~StopOnSignal()
    {
        if (!m_notifier)
            return;
        for (std::size_t i = 0; i < std::size(Signals); ++i)
            sigaction(Signals[i], &m_saved[i], nullptr);
        SetOutputGoneHandler(nullptr);
        m_notifier.reset();
        ::close(s_signalPipe[0]);
        ::close(s_signalPipe[1]);
    }
    // The signal that stopped the run, or 0.
    int stopSignal() const { return s_stopSignal; }

private:
    static constexpr int Signals[] = {SIGINT, SIGTERM};
    struct sigaction m_saved[std::size(Signals)] = {};
    std::unique_ptr<QSocketNotifier> m_notifier; // set once the handlers are installed
};

void writeMessage(QString text)
{
    if (!text.endsWith(u'\n'))
        text += u'\n';
    WriteTo(stderr, TerminalSafe(text).toUtf8());
}

int writeOutput(const QByteArray &bytes)
{
    WriteTo(stdout, bytes);
    if (OutputGone())
        return ExitOutputFailed;
    if (std::ferror(stdout)) {
        writeMessage(
            TerminalTexts::ProgramName + QStringLiteral(": ")
            + TerminalTexts::OutputFailed.arg(QString::fromLocal8Bit(std::strerror(errno))));
        return ExitOutputFailed;
    }
    return ExitCompleted;
}

QString helpText()
{
    return TerminalTexts::Help.arg(
        Texts::BtnStart, Texts::Label1, Texts::LbName, Texts::Label23, Texts::ServerTypes[0],
        Texts::ServerTypes[1], Texts::ServerTypes[2], Texts::ChkUseAuth, Texts::BtnCopyToClipboard,
        Texts::BtnReport, ConnectFailed, Texts::BtnStop, Texts::ChkArticles);
}

// The report the format asks for, or an exit status other than 0 when it cannot be made.
int printReport(const RunRequest &request, const ReportFields &fields, const ListFigures &list)
{
    if (request.format == OutputFormat::Url)
        return writeOutput(BuildReportUrl(fields) + '\n');
    // The report heading reads the program's own file: only the formats that show it.
    const QString version = VersionString(QCoreApplication::applicationFilePath());
    if (request.format == OutputFormat::Json)
        return writeOutput(BuildJsonReport(fields, list, version));
    QStringList lines;
    try {
        lines = BuildTextReport(fields, Texts::AppTitle, version);
    } catch (const std::exception &error) {
        // What the window's copy button shows, for instance after a refused LIST.
        writeMessage(MessageBoxes::errorText(QString::fromUtf8(error.what())));
        return ExitFailed;
    }
    return writeOutput(JoinReportLines(lines, u"\n").toUtf8());
}

int runBenchmark(const RunRequest &request)
{
    BenchmarkRun run;
    TerminalView view(request);
    RunOutcome outcome;
    int stopSignal;
    {
        StopOnSignal stopper(run);
        outcome = run.execute(view);
        stopSignal = stopper.stopSignal();
    }
    view.endProgress();
    if (OutputGone())
        return ExitOutputFailed;
    if (stopSignal != 0) {
        writeMessage(Texts::BtnStop);
        dieOf(stopSignal);
    }
    switch (outcome) {
    case RunOutcome::NoConnection:
        // The window shows nothing when the server simply cannot be reached; a terminal
        // still says that much.
        writeMessage(view.failureText.isEmpty() ? ConnectFailed : view.failureText);
        return ExitNoConnection;
    case RunOutcome::Failed:
        writeMessage(view.failureText);
        return ExitFailed;
    case RunOutcome::Stopped:
        // Only a stop signal stops the article measurement here, and that ended above.
        writeMessage(Texts::BtnStop);
        return ExitFailed;
    case RunOutcome::Completed:
        break;
    }
    view.fields.postAllowed = run.PostAllowed;
    view.fields.articles = run.Articles;
    view.fields.articleByteCap = run.ArticleByteCap;
    const ListFigures list{run.analyzer.ListByteCount, run.ListElapsedUs};
    if (!run.ListRefusal.isEmpty()) {
        // A run without the list is incomplete in every format; JSON still shows, with its
        // nulls, how far it came.
        writeMessage(TerminalTexts::ListRefused.arg(FromShiftJis(run.ListRefusal).trimmed()));
        if (request.format == OutputFormat::Json) {
            const int status = printReport(request, view.fields, list);
            if (status != ExitCompleted)
                return status;
        }
        return ExitFailed;
    }
    return printReport(request, view.fields, list);
}

int runCommand(const QStringList &arguments)
{
    const CommandLine line = ParseCommandLine(arguments);
    switch (line.action) {
    case CommandLine::Help:
        return writeOutput(helpText().toUtf8());
    case CommandLine::Version:
        return writeOutput(VersionString(QCoreApplication::applicationFilePath()).toUtf8() + '\n');
    case CommandLine::UsageError:
        writeMessage(TerminalTexts::ProgramName + QStringLiteral(": ") + line.error + u'\n'
                     + TerminalTexts::TryHelp);
        return ExitUsage;
    case CommandLine::Run:
        break;
    }
    return runBenchmark(line.request);
}

} // namespace

int RunInTerminal(int argc, char **argv, const QStringList &arguments)
{
    QCoreApplication app(argc, argv);
    // A write to a reader that has gone fails with EPIPE instead of killing the program
    // wherever it is: the run can still say QUIT. Then the program ends by SIGPIPE all the
    // same, unless it was started with SIGPIPE ignored.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction inherited = {};
    sigaction(SIGPIPE, &ignore, &inherited);
    const int status = runCommand(arguments);
    if (OutputGone() && inherited.sa_handler != SIG_IGN)
        dieOf(SIGPIPE);
    return status;
}
