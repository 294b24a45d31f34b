#pragma once

#include <QByteArray>
#include <QString>

#include "report/reportfields.h"

// The list figures behind the speed, which the window does not show.
struct ListFigures
{
    qint64 bytes = 0;
    qint64 elapsedUs = 0;
};

// One JSON object with every result of a complete run, the version text and the report
// address (reportUrl). A result the run did not reach is null. A run that measured the
// article speed adds it as "articles", every step included.
QByteArray BuildJsonReport(const ReportFields &f, const ListFigures &list, const QString &version);

// The report address as text: the bytes of BuildReportUrl, with any byte above 0x7F
// percent-encoded, so that a browser sends the same bytes.
QString ReportUrlText(const QByteArray &url);
