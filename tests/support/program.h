#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// The newsbench program itself, started as from a terminal on a machine without a desktop:
// no DISPLAY, no Wayland socket, no Qt platform chosen.
struct ProgramResult
{
    int status = -1; // -1 when it did not exit by itself
    int signal = 0; // the signal that killed it
    QByteArray out;
    QByteArray err;
};

QString ProgramPath();
void StartProgram(QProcess &process, const QStringList &arguments,
                  const QProcessEnvironment &extra = {});
// Waits for the program to end, serving the test's event loop; `input` is its standard input.
ProgramResult RunProgram(const QStringList &arguments, const QProcessEnvironment &extra = {},
                         const QByteArray &input = {});
