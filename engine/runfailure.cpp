#include "engine/runfailure.h"

QString RunFailureText(const QString &reason)
{
    return ConnectFailed + QLatin1Char('\n') + reason;
}
