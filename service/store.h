#pragma once

#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <memory>
#include <optional>

#include "service/reportform.h"

struct StoredReport
{
    qint64 id = 0;
    qint64 serverId = 0;
    qint64 receivedAt = 0; // seconds since the epoch, UTC
    Report values;
};

// The ranking's figures of a server: the median of each number over its latest reports, at
// most FigureReports of them, received within FigureDays of its latest one. One report can
// then move a server no further than its neighbours' values.
inline constexpr int FigureReports = 10;
inline constexpr int FigureDays = 180;

// One row of the ranking: a server by its case-folded address, with its latest report.
struct ServerSummary
{
    qint64 id = 0;
    QString address; // as its latest report typed it
    int reportCount = 0;
    qint64 lastMeasured = 0;
    StoredReport latest;
    // The latest report's name, type, address and posting with the median of every number.
    Report figures;
    int figureCount = 0; // the reports the medians are made of
    // The median article speed and knee over the latest reports that measured them, by the
    // same rule; nothing when none did.
    std::optional<qint64> articleSpeed;
    std::optional<qint32> knee;
    int articleCount = 0;
};

// The columns the ranking sorts by: the report's fields by their query key, plus these.
inline constexpr int SortReports = ReportKeyCount;
inline constexpr int SortMeasured = ReportKeyCount + 1;
inline constexpr int SortArticleSpeed = ReportKeyCount + 2;
inline constexpr int SortKnee = ReportKeyCount + 3;
inline constexpr int SortColumnCount = ReportKeyCount + 4;
QByteArray SortParameter(int column); // "speed", "countabpe", "reports", "articlespeed", ...

struct SubmitLimits
{
    int reportsPerHour = 20; // per client address; 0 lifts the limit
    qint64 repeatWindow = 600; // the same values again within this many seconds are one report
};

// The reports and the servers they rank, in SQLite (a file name) or PostgreSQL (a
// postgresql://user@host/db address). The schema is brought up to date when it opens; every
// write is one transaction that also bumps the data version, so that each process knows
// when the pages it keeps are out of date.
class Store
{
    Q_DISABLE_COPY_MOVE(Store)

public:
    ~Store();
    static std::unique_ptr<Store> open(const QString &database, QString *error);

    QByteArray secret() const { return m_secret; }
    bool isPostgres() const { return m_postgres; }

    std::optional<qint64> dataVersion();

    // Busy: another connection held the write lock past the short wait this one allows.
    enum class Outcome { Stored, Repeated, TooMany, Busy, Failed };
    struct Submitted
    {
        Outcome outcome = Outcome::Failed;
        qint64 serverId = 0;
        qint64 reportId = 0;
    };
    Submitted submit(const Report &report, const QByteArray &clientAddress, qint64 now,
                     const SubmitLimits &limits);
    // False when there is no such report or the database failed.
    bool deleteReport(qint64 reportId, QString *error);

    struct Totals
    {
        int servers = 0;
        qint64 reports = 0;
    };
    std::optional<Totals> totals();
    std::optional<QList<ServerSummary>> ranking(int sortColumn, bool descending, int offset,
                                                int limit);
    // Nothing inside when there is no such server; nothing at all when the database failed.
    std::optional<std::optional<ServerSummary>> server(qint64 id);
    // Newest first.
    std::optional<QList<StoredReport>> reports(qint64 serverId, int offset, int limit);

private:
    Store() = default;
    bool connect(QString *error);
    bool migrate(QString *error);
    bool begin(bool *busy = nullptr);
    bool reconnect();
    bool configure(QSqlDatabase &db, QString *error);
    bool finish(bool commit);
    // Rolls back and gives the reason to the caller.
    bool abandon(QString *error, const QString &why);
    QByteArray clientKey(const QByteArray &address) const;
    // Writes the server's latest report, sort keys and figures from its reports as they now
    // are, and adds `added` to its count. `empty`: it has no report left.
    bool refigure(qint64 serverId, int added, bool *empty = nullptr);
    QString sortExpression(int column, const QString &direction) const;

    QString m_connection;
    QString m_database;
    bool m_postgres = false;
    QByteArray m_secret;
};
