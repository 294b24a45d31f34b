#pragma once

#include <QStringList>

#include <map>

#include "engine/benchmarkrun.h"

// A window stand-in for runs without widgets: it answers with the inputs set here and keeps
// what the run shows.
class RecordingView : public RunView
{
public:
    QString address;
    bool authentication = false;
    QByteArray user = "user";
    QByteArray password = "secret";
    std::map<ResultField, QString> results;
    QStringList failures;

    QString serverAddress() const override { return address; }
    bool useAuthentication() const override { return authentication; }
    QByteArray authUser() const override { return user; }
    QByteArray authPassword() const override { return password; }
    void highlightStage(Stage, int) override { }
    void showResult(ResultField field, const QString &text) override { results[field] = text; }
    void showRunFailure(const QString &message) override { failures.append(message); }
};
