#pragma once

#include <cstdio>

#include "engine/benchmarkrun.h"
#include "report/reportfields.h"
#include "terminal/commandline.h"

// The run's view in a terminal. It keeps the results as the texts the window's fields would
// hold, so that the reports come out as the window makes them, and shows the stage in
// progress on standard error: one line redrawn on a terminal, a line per stage otherwise.
class TerminalView : public RunView
{
    Q_DISABLE_COPY_MOVE(TerminalView)

public:
    explicit TerminalView(const RunRequest &request);

    QString serverAddress() const override;
    bool useAuthentication() const override;
    QByteArray authUser() const override;
    QByteArray authPassword() const override;
    void highlightStage(Stage stage, int hierarchy) override;
    void showResult(ResultField field, const QString &text) override;
    void showRunFailure(const QString &message) override;
    ArticleOptions articleOptions() const override;
    void showArticleStep(int connections) override;

    // Leaves standard error ready for messages: the redrawn line is cleared.
    void endProgress();

    // The inputs and results as the window's fields would hold them; the caller sets the
    // posting flag from the run.
    ReportFields fields;
    // What the window's failure box would say; empty when the run ended without a message.
    QString failureText;

private:
    void showProgress();
    void writeLine();
    // In a log, the list's total gets a line of its own once the list is in.
    void flushPendingCount();

    const RunRequest &m_request;
    const bool m_redraw;
    Stage m_stage = Stage::None;
    int m_hierarchy = -1;
    int m_articleConnections = 0;
    bool m_lineShown = false;
    bool m_countPending = false;
};

// Server replies go to a terminal: line ends as LF, and no control character other than
// LF or tab reaches it, so a reply cannot drive the terminal.
QString TerminalSafe(QString text);

// All of the bytes, at once: progress and messages interleave with the report on a terminal.
// Once a write found its reader gone (EPIPE), nothing more is written anywhere and the
// handler set here is called, once.
void WriteTo(std::FILE *stream, const QByteArray &bytes);
bool OutputGone();
void SetOutputGoneHandler(void (*handler)());
