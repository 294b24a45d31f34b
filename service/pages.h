#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "service/html.h"
#include "service/store.h"

// The service's pages as complete UTF-8 documents. Every value is escaped where it is
// written; no page needs script.
namespace Pages {

struct RankingView
{
    int sortColumn = KeySpeed;
    bool descending = true;
    int page = 1;
    int pageCount = 1;
    int perPage = 50;
    Store::Totals totals;
};

QByteArray ranking(const QList<ServerSummary> &rows, const RankingView &view);
QByteArray server(const ServerSummary &server, const QList<StoredReport> &history,
                  const QList<StoredReport> &chartReports, int page, int pageCount);
QByteArray confirmation(const Report &report, const QByteArray &token, qint64 expiresAt);
QByteArray publisher(int reportsPerHour);
// A whole page around `body`.
QByteArray document(const QString &title, const Web::Markup &body);
// A page that says what went wrong, in lines of plain text.
QByteArray message(const QString &title, const QStringList &lines);

// The sort column a ranking address names, or -1.
int sortColumnByParameter(const QByteArray &parameter);
bool descendingByDefault(int sortColumn);

} // namespace Pages
