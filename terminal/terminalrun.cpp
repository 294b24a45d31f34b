#include "terminal/terminalrun.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
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

// BSD sysexits.h EX_USAGE; 130 is what a shell reports for a program ended by Ctrl-C.
enum ExitStatus {
    ExitCompleted = 0,
    ExitOutputFailed = 1,
    ExitNoConnection = 2,
    ExitFailed = 3,
    ExitUsage = 64,
    ExitStopped = 130,
};

int s_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t s_stopRequested = 0;

extern "C" void onStopSignal(int)
{
    const int savedErrno = errno;
    s_stopRequested = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// Ctrl-C and SIGTERM do what the stop button does: the connection is closed and the run
// ends in the wait it is in. A second Ctrl-C ends the program at once. A signal the program
// was started to ignore stays ignored.
class StopOnSignal
{
    Q_DISABLE_COPY_MOVE(StopOnSignal)

public:
    explicit StopOnSignal(Connection &connection)
    {
        s_stopRequested = 0;
        if (::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(s_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [&connection] {
            char bytes[16];
            while (::read(s_signalPipe[0], bytes, sizeof bytes) > 0) { }
            connection.ClientSocket1.close();
        });
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
        m_notifier.reset();
        ::close(s_signalPipe[0]);
        ::close(s_signalPipe[1]);
    }
    bool stopped() const { return s_stopRequested != 0; }

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
        Texts::BtnReport, ConnectFailed, Texts::BtnStop);
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
    bool stopped;
    {
        StopOnSignal stopper(run.connection);
        outcome = run.execute(view);
        stopped = stopper.stopped();
    }
    view.endProgress();
    if (stopped) {
        writeMessage(Texts::BtnStop);
        return ExitStopped;
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
    case RunOutcome::Completed:
        break;
    }
    view.fields.postAllowed = run.PostAllowed;
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

} // namespace

int RunInTerminal(int argc, char **argv, const QStringList &arguments)
{
    QCoreApplication app(argc, argv);
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
