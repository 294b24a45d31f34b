#include "terminal/terminalview.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "engine/runfailure.h"
#include "engine/shiftjis.h"
#include "ui/stagecaption.h"
#include "ui/texts.h"

namespace {

// Back to the start of the line and clear it (ECMA-48 CR, EL).
constexpr char ClearLine[] = "\r\x1b[K";

void writeError(const QString &text)
{
    WriteTo(stderr, text.toUtf8());
}

bool s_outputGone = false;
void (*s_outputGoneHandler)() = nullptr;

} // namespace

void WriteTo(std::FILE *stream, const QByteArray &bytes)
{
    if (s_outputGone)
        return;
    errno = 0;
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
    if (std::ferror(stream) && errno == EPIPE) {
        s_outputGone = true;
        if (s_outputGoneHandler)
            s_outputGoneHandler();
    }
}

bool OutputGone()
{
    return s_outputGone;
}

void SetOutputGoneHandler(void (*handler)())
{
    s_outputGoneHandler = handler;
}

QString TerminalSafe(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control && c != u'\n' && c != u'\t')
            c = QChar::ReplacementCharacter;
    }
    return text;
}

TerminalView::TerminalView(const RunRequest &request)
    : m_request(request)
    // A terminal that cannot clear a line gets the plain lines of a log.
    , m_redraw(isatty(STDERR_FILENO) && qgetenv("TERM") != "dumb")
{
    fields.name = request.name;
    fields.serverTypeIndex = request.serverType;
    fields.serverTypeText = Texts::ServerTypes[request.serverType];
    fields.address = request.address;
}

QString TerminalView::serverAddress() const
{
    return m_request.address;
}

bool TerminalView::useAuthentication() const
{
    return m_request.useAuthentication;
}

QByteArray TerminalView::authUser() const
{
    return ToShiftJis(m_request.user);
}

QByteArray TerminalView::authPassword() const
{
    return ToShiftJis(m_request.password);
}

void TerminalView::flushPendingCount()
{
    if (m_countPending && !m_redraw)
        writeLine();
    m_countPending = false;
}

void TerminalView::highlightStage(Stage stage, int hierarchy)
{
    flushPendingCount();
    m_stage = stage;
    m_hierarchy = hierarchy;
    if (stage != Stage::None)
        showProgress();
}

void TerminalView::showResult(ResultField field, const QString &text)
{
    ResultText(fields, field) = text;
    if (field == ResultField::GroupCount && m_stage == Stage::Groups) {
        m_countPending = true;
        if (m_redraw)
            showProgress();
    }
}

void TerminalView::showRunFailure(const QString &message)
{
    failureText = RunFailureText(message);
}

ArticleOptions TerminalView::articleOptions() const
{
    ArticleOptions options;
    options.enabled = m_request.articles;
    options.maxConnections = m_request.connections;
    options.stepMs = m_request.articleSeconds * 1000;
    options.byteCap = m_request.articleCap;
    return options;
}

void TerminalView::showArticleStep(int connections)
{
    m_articleConnections = connections;
    if (m_stage == Stage::Articles)
        showProgress();
}

void TerminalView::showProgress()
{
    if (m_redraw)
        writeError(QLatin1String(ClearLine));
    writeLine();
}

void TerminalView::writeLine()
{
    QString line = StageCaption(m_stage);
    if (m_stage == Stage::Groups && !fields.groupCount.isEmpty() && (m_redraw || m_countPending))
        line += u' ' + fields.groupCount + u' ' + Texts::Label11;
    if (m_stage == Stage::Expire && m_hierarchy >= 0 && m_hierarchy < HierarchyCount)
        line += u' ' + Texts::HierarchyNames[m_hierarchy];
    if (m_stage == Stage::Articles && m_articleConnections > 0)
        line += u' ' + Texts::ArticleStep.arg(m_articleConnections);
    m_lineShown = true;
    writeError(m_redraw ? line : line + u'\n');
}

void TerminalView::endProgress()
{
    flushPendingCount();
    if (m_redraw && m_lineShown)
        writeError(QLatin1String(ClearLine));
    m_lineShown = false;
}
