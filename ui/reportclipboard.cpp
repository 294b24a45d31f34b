#include "ui/reportclipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <stdexcept>

#include "engine/shiftjis.h"
#include "report/reporttexts.h"
#include "report/textreport.h"

void CopyReportToClipboard(const QString &reportText)
{
    // Without a QGuiApplication, QGuiApplication::clipboard() has nothing to talk to.
    QClipboard *clipboard = qobject_cast<QGuiApplication *>(QCoreApplication::instance())
        ? QGuiApplication::clipboard()
        : nullptr;
    if (!clipboard)
        throw std::runtime_error(ClipboardUnavailableMessage.toString().toStdString());

    auto *data = new QMimeData;
    data->setText(reportText);
    data->setData(QString::fromLatin1(ShiftJisMimeType), ToShiftJis(reportText));
    clipboard->setMimeData(data);
}

void CopyTextReport(const ReportFields &f, const QString &title, const QString &version)
{
    const QString text = JoinReportLines(BuildTextReport(f, title, version));
    CopyReportToClipboard(text);
}
