#pragma once

#include <QString>

#include "report/reportfields.h"

// Replaces the clipboard with the text, as plain text and as Shift-JIS bytes.
// Throws std::runtime_error when there is no clipboard.
void CopyReportToClipboard(const QString &reportText);

// The copy button: builds the report, then puts it on the clipboard. A speed that is not
// an integer throws before the clipboard is touched.
void CopyTextReport(const ReportFields &f, const QString &title, const QString &version);
