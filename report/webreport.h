#pragma once

#include <QByteArray>

#include "report/reportfields.h"

// The report address: ReportUrlBase and sixteen query keys, values in Shift-JIS. Only the
// name is URL-encoded; the other values go as typed. The article figures follow the sixteen
// for a run that measured them.
QByteArray BuildReportUrl(const ReportFields &f);

// Hands the address to xdg-open, byte for byte, without waiting for the browser.
// Nothing is reported when no browser opens.
void OpenInBrowser(const QByteArray &url);

// The report button: builds the address and opens it.
void SubmitWebReport(const ReportFields &f);
