#pragma once

#include <QString>
#include <QStringList>

#include "report/reportfields.h"

// The 28 lines of the text report, without line ends, and the article lines after them for a
// run that measured the article speed. Throws std::runtime_error (UTF-8
// message) when the speed text is not an integer.
QStringList BuildTextReport(const ReportFields &f, const QString &title, const QString &version);

// Each line followed by CR LF (or the given line end), the last one included.
QString JoinReportLines(const QStringList &lines, QStringView lineEnd = u"\r\n");

// "%.2f kbps" of the speed in units of 1024 bytes per second; throws like BuildTextReport.
QString SpeedInKbps(const QString &speedText);
