#include "tests/support/program.h"

#include <QTest>

QString ProgramPath()
{
    return QStringLiteral(NEWSBENCH_PROGRAM);
}

void StartProgram(QProcess &process, const QStringList &arguments, const QProcessEnvironment &extra)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    for (const QString &name : extra.keys())
        environment.insert(name, extra.value(name));
    process.setProcessEnvironment(environment);
    process.start(ProgramPath(), arguments);
}

ProgramResult RunProgram(const QStringList &arguments, const QProcessEnvironment &extra,
                         const QByteArray &input)
{
    QProcess process;
    StartProgram(process, arguments, extra);
    process.write(input);
    process.closeWriteChannel();
    ProgramResult result;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 120000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    (process.exitStatus() == QProcess::NormalExit ? result.status : result.signal)
        = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
