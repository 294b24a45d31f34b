#pragma once

#include <QStringList>

#include "ui/formmain.h"

// The program's window with one change: a failed run is noted instead of waiting for
// someone to close a message box.
class BenchForm : public TFormMain
{
public:
    void showRunFailure(const QString &message) override { failures.append(message); }
    QStringList failures;
};

struct FormRunResult
{
    RunOutcome outcome = RunOutcome::Failed;
    qint64 executeUs = 0;
    qint64 listUs = 0;
};

// One run against the address on the given port as the start button makes it, without the
// confirmation box. A run still going after limitSeconds is stopped as the stop button would.
FormRunResult RunForm(BenchForm &form, quint16 port, int limitSeconds,
                      const QString &address = QStringLiteral("127.0.0.1"));
