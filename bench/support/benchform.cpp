#include "bench/support/benchform.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>

FormRunResult RunForm(BenchForm &form, quint16 port, int limitSeconds, const QString &address)
{
    form.EditAddress->setText(address);
    form.run.setPortOverride(port);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &form, [&form] { form.BtnStopClick(); });
    watchdog.start(limitSeconds * 1000);

    FormRunResult result;
    QElapsedTimer clock;
    clock.start();
    result.outcome = form.run.execute(form);
    result.executeUs = clock.nsecsElapsed() / 1000;
    result.listUs = form.run.ListElapsedUs;
    watchdog.stop();
    return result;
}
