#include "service/store.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// Where a statement of a migration runs.
enum class On { Both, SQLite, PostgreSQL };
struct Statement
{
    On on;
    const char *sql;
};

// Applied in order, each once; the list only grows. Each is its statements one by one, so
// that one may hold a ";" of its own (a trigger's body, a text). "{id}" is each database's
// auto-numbered key.
const std::vector<std::vector<Statement>> Migrations = {
    {
        {On::Both, R"(CREATE TABLE meta (
            singleton INTEGER PRIMARY KEY,
            data_version BIGINT NOT NULL,
            secret TEXT NOT NULL))"},
        {On::Both, R"(CREATE TABLE servers (
            id {id},
            address_key TEXT NOT NULL UNIQUE,
            address TEXT NOT NULL,
            report_count INTEGER NOT NULL,
            latest_report_id BIGINT NOT NULL,
            last_measured BIGINT NOT NULL))"},
        {On::Both, R"(CREATE TABLE reports (
            id {id},
            server_id BIGINT NOT NULL REFERENCES servers (id),
            received_at BIGINT NOT NULL,
            client TEXT NOT NULL,
            fingerprint TEXT NOT NULL,
            service_name TEXT NOT NULL,
            service_type INTEGER NOT NULL,
            server_address TEXT NOT NULL,
            post_allowed INTEGER NOT NULL,
            group_count INTEGER NOT NULL,
            speed BIGINT NOT NULL,
            count_abpe INTEGER NOT NULL,
            count_as INTEGER NOT NULL,
            count_jbpe INTEGER NOT NULL,
            count_afj INTEGER NOT NULL,
            count_abme INTEGER NOT NULL,
            expire_abpe INTEGER NOT NULL,
            expire_as INTEGER NOT NULL,
            expire_jbpe INTEGER NOT NULL,
            expire_afj INTEGER NOT NULL,
            expire_abme INTEGER NOT NULL))"},
        {On::Both, "CREATE INDEX reports_by_server ON reports (server_id, id)"},
        {On::Both, "CREATE INDEX reports_by_client ON reports (client, received_at)"},
        {On::Both, "CREATE INDEX reports_by_fingerprint ON reports (fingerprint, received_at)"},
    },
    // SQLite gives a deleted newest row's id to the next one, and /servers/N would then show
    // another server: AUTOINCREMENT never hands an id out twice. Its tables are made anew,
    // since an existing key cannot be changed; PostgreSQL's identity never reuses one.
    {
        {On::SQLite, R"(CREATE TABLE servers_new (
            id INTEGER PRIMARY KEY AUTOINCREMENT,
            address_key TEXT NOT NULL UNIQUE,
            address TEXT NOT NULL,
            report_count INTEGER NOT NULL,
            latest_report_id BIGINT NOT NULL,
            last_measured BIGINT NOT NULL))"},
        {On::SQLite, "INSERT INTO servers_new SELECT * FROM servers"},
        {On::SQLite, R"(CREATE TABLE reports_new (
            id INTEGER PRIMARY KEY AUTOINCREMENT,
            server_id BIGINT NOT NULL REFERENCES servers_new (id),
            received_at BIGINT NOT NULL,
            client TEXT NOT NULL,
            fingerprint TEXT NOT NULL,
            service_name TEXT NOT NULL,
            service_type INTEGER NOT NULL,
            server_address TEXT NOT NULL,
            post_allowed INTEGER NOT NULL,
            group_count INTEGER NOT NULL,
            speed BIGINT NOT NULL,
            count_abpe INTEGER NOT NULL,
            count_as INTEGER NOT NULL,
            count_jbpe INTEGER NOT NULL,
            count_afj INTEGER NOT NULL,
            count_abme INTEGER NOT NULL,
            expire_abpe INTEGER NOT NULL,
            expire_as INTEGER NOT NULL,
            expire_jbpe INTEGER NOT NULL,
            expire_afj INTEGER NOT NULL,
            expire_abme INTEGER NOT NULL))"},
        {On::SQLite, "INSERT INTO reports_new SELECT * FROM reports"},
        {On::SQLite, "DROP TABLE reports"},
        {On::SQLite, "DROP TABLE servers"},
        // Renaming also turns reports_new's reference to servers_new into one to servers.
        {On::SQLite, "ALTER TABLE servers_new RENAME TO servers"},
        {On::SQLite, "ALTER TABLE reports_new RENAME TO reports"},
        {On::SQLite, "CREATE INDEX reports_by_server ON reports (server_id, id)"},
        {On::SQLite, "CREATE INDEX reports_by_client ON reports (client, received_at)"},
        {On::SQLite, "CREATE INDEX reports_by_fingerprint ON reports (fingerprint, received_at)"},
    },
    // The ranking's figures and sort keys, kept on the server row by every write so that
    // a page costs no more than reading them. Existing rows are filled in by migrate().
    {
        {On::Both, "ALTER TABLE servers ADD COLUMN host_key TEXT NOT NULL DEFAULT ''"},
        {On::Both, "ALTER TABLE servers ADD COLUMN name_key TEXT NOT NULL DEFAULT ''"},
        {On::Both, "ALTER TABLE servers ADD COLUMN figure_count INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_group_count INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_speed BIGINT NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_count_abpe INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_count_as INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_count_jbpe INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_count_afj INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_count_abme INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_expire_abpe INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_expire_as INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_expire_jbpe INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_expire_afj INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_expire_abme INTEGER NOT NULL DEFAULT 0"},
        // What each submission looks for when it blanks the client of reports past the hour.
        {On::Both, "CREATE INDEX reports_with_client ON reports (received_at) WHERE client <> ''"},
    },
    // The article speed, for the reports whose run measured it: NULL on all the others. The
    // steps stay as the address carried them ("1:123456,2:234567"), read only to be charted.
    // The server row keeps the median speed and knee of the reports that have them.
    {
        {On::Both, "ALTER TABLE reports ADD COLUMN article_speed BIGINT"},
        {On::Both, "ALTER TABLE reports ADD COLUMN article_connections INTEGER"},
        {On::Both, "ALTER TABLE reports ADD COLUMN knee INTEGER"},
        {On::Both, "ALTER TABLE reports ADD COLUMN accepted_connections INTEGER"},
        {On::Both, "ALTER TABLE reports ADD COLUMN more_refused INTEGER"},
        {On::Both, "ALTER TABLE reports ADD COLUMN greeting_ms BIGINT"},
        {On::Both, "ALTER TABLE reports ADD COLUMN stat_ms BIGINT"},
        {On::Both, "ALTER TABLE reports ADD COLUMN articles_asked BIGINT"},
        {On::Both, "ALTER TABLE reports ADD COLUMN articles_found BIGINT"},
        {On::Both, "ALTER TABLE reports ADD COLUMN article_bytes BIGINT"},
        {On::Both, "ALTER TABLE reports ADD COLUMN article_end TEXT"},
        {On::Both, "ALTER TABLE reports ADD COLUMN article_steps TEXT"},
        {On::Both, "ALTER TABLE servers ADD COLUMN article_count INTEGER NOT NULL DEFAULT 0"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_article_speed BIGINT"},
        {On::Both, "ALTER TABLE servers ADD COLUMN median_knee INTEGER"},
    },
};

// How long a statement waits for another connection's lock. Every query runs on the
// service's one event loop, so this is how long every client may be kept waiting.
constexpr int LockWaitMilliseconds = 250;

// The lock was not had in time: SQLITE_BUSY or SQLITE_LOCKED, or PostgreSQL's
// lock_not_available.
bool IsBusy(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == u"55P03" || code.toInt() % 256 == 5 || code.toInt() % 256 == 6;
}

// Any number will do, as long as nothing else on the database server takes it.
constexpr qint64 MigrationLockId = 0x6e62726570;

QString Lower(std::string_view key)
{
    return QString::fromLatin1(key.data(), qsizetype(key.size())).toLower();
}

// The report columns in key order, after id, server_id and received_at.
const QStringList &ReportColumns()
{
    static const QStringList columns = [] {
        QStringList list = {u"service_name"_s, u"service_type"_s, u"server_address"_s,
                            u"post_allowed"_s, u"group_count"_s,  u"speed"_s};
        for (const auto key : HierarchyKeys)
            list << u"count_"_s + Lower(key);
        for (const auto key : HierarchyKeys)
            list << u"expire_"_s + Lower(key);
        return list;
    }();
    return columns;
}

// The article columns in ArticleReportKey order, NULL when the run did not measure it.
const QStringList &ArticleColumns()
{
    static const QStringList columns = {
        u"article_speed"_s,  u"article_connections"_s, u"knee"_s,        u"accepted_connections"_s,
        u"more_refused"_s,   u"greeting_ms"_s,         u"stat_ms"_s,     u"articles_asked"_s,
        u"articles_found"_s, u"article_bytes"_s,       u"article_end"_s, u"article_steps"_s};
    return columns;
}

QString SelectReport()
{
    return u"r.id, r.server_id, r.received_at, r."_s + ReportColumns().join(u", r."_s) + u", r."_s
        + ArticleColumns().join(u", r."_s);
}

// The columns of SelectReport() from `first` on.
constexpr int SelectedReportColumns = 3 + AllFieldCount;

// Steps as stored: checked when the report came, so anything unreadable is skipped.
QList<std::pair<qint32, qint64>> ParseSteps(const QString &text)
{
    QList<std::pair<qint32, qint64>> steps;
    for (const QStringView part : QStringView(text).split(u',', Qt::SkipEmptyParts)) {
        const qsizetype colon = part.indexOf(u':');
        if (colon > 0)
            steps.append({part.first(colon).toInt(), part.sliced(colon + 1).toLongLong()});
    }
    return steps;
}

// The columns whose median the ranking shows: every number of a report.
QStringList FigureColumns()
{
    return ReportColumns().mid(KeyGroups);
}

QString MedianColumns()
{
    return u"s.median_"_s + FigureColumns().join(u", s.median_"_s);
}

// Reads the columns of SelectReport() from `first` on.
StoredReport ReadReportRow(const QSqlQuery &q, int first)
{
    StoredReport s;
    s.id = q.value(first).toLongLong();
    s.serverId = q.value(first + 1).toLongLong();
    s.receivedAt = q.value(first + 2).toLongLong();
    const int v = first + 3;
    Report &r = s.values;
    r.name = q.value(v + KeyName).toString();
    r.type = q.value(v + KeyType).toInt();
    r.server = q.value(v + KeyServer).toString();
    r.post = q.value(v + KeyPost).toInt() != 0;
    r.groups = q.value(v + KeyGroups).toInt();
    r.speed = q.value(v + KeySpeed).toLongLong();
    for (int i = 0; i < HierarchyCount; ++i) {
        r.counts[i] = q.value(v + KeyFirstCount + i).toInt();
        r.expires[i] = q.value(v + KeyFirstExpire + i).toInt();
    }
    const int a = v + ReportKeyCount;
    if (!q.value(a + KeyArticleSpeed).isNull()) {
        ArticleFigures f;
        f.speed = q.value(a + KeyArticleSpeed).toLongLong();
        f.connections = q.value(a + KeyArticleConnections).toInt();
        f.knee = q.value(a + KeyKnee).toInt();
        f.accepted = q.value(a + KeyConnections).toInt();
        f.moreRefused = q.value(a + KeyMoreRefused).toInt() != 0;
        f.greetingMs = q.value(a + KeyGreetingMs).toLongLong();
        f.statMs = q.value(a + KeyStatMs).toLongLong();
        f.asked = q.value(a + KeyArticlesAsked).toLongLong();
        f.found = q.value(a + KeyArticlesFound).toLongLong();
        f.bytes = q.value(a + KeyArticleBytes).toLongLong();
        f.end = q.value(a + KeyArticleEnd).toString().toLatin1();
        f.steps = ParseSteps(q.value(a + KeyArticleSteps).toString());
        r.article = f;
    }
    return s;
}

// A server with its latest report: the ranking's rows and a server's own page.
QString SelectServerSummary()
{
    return u"SELECT s.id, s.address, s.report_count, s.last_measured, s.figure_count, "_s
        + MedianColumns() + u", "_s + SelectReport()
        + u", s.article_count, s.median_article_speed, s.median_knee"_s
        + u" FROM servers s JOIN reports r ON r.id = s.latest_report_id"_s;
}

ServerSummary ReadServerSummary(const QSqlQuery &q)
{
    ServerSummary s;
    s.id = q.value(0).toLongLong();
    s.address = q.value(1).toString();
    s.reportCount = q.value(2).toInt();
    s.lastMeasured = q.value(3).toLongLong();
    s.figureCount = q.value(4).toInt();
    constexpr int FirstMedian = 5;
    constexpr int figures = ReportKeyCount - KeyGroups; // the columns of FigureColumns()
    s.latest = ReadReportRow(q, FirstMedian + figures);
    s.figures = s.latest.values;
    auto median = [&q](int key) {
        return q.value(FirstMedian + key - KeyGroups);
    };
    s.figures.groups = median(KeyGroups).toInt();
    s.figures.speed = median(KeySpeed).toLongLong();
    for (int i = 0; i < HierarchyCount; ++i) {
        s.figures.counts[i] = median(KeyFirstCount + i).toInt();
        s.figures.expires[i] = median(KeyFirstExpire + i).toInt();
    }
    const int article = FirstMedian + figures + SelectedReportColumns;
    s.articleCount = q.value(article).toInt();
    if (!q.value(article + 1).isNull()) {
        s.articleSpeed = q.value(article + 1).toLongLong();
        s.knee = q.value(article + 2).toInt();
    }
    return s;
}

QVariantList ReportValues(const Report &r)
{
    QVariantList values = {r.name, r.type, r.server, int(r.post), r.groups, r.speed};
    for (const qint32 count : r.counts)
        values << count;
    for (const qint32 expire : r.expires)
        values << expire;
    // Typed NULLs: PostgreSQL is told what each missing value would have been.
    if (!r.article) {
        for (int key = 0; key < ArticleReportKeyCount; ++key) {
            const bool text = key == KeyArticleEnd || key == KeyArticleSteps;
            values << QVariant(text ? QMetaType::fromType<QString>()
                                    : QMetaType::fromType<qlonglong>());
        }
        return values;
    }
    const ArticleFigures &a = *r.article;
    values << a.speed << a.connections << a.knee << a.accepted << int(a.moreRefused) << a.greetingMs
           << a.statMs << a.asked << a.found << a.bytes << QString::fromLatin1(a.end)
           << QString::fromLatin1(StepsText(a.steps));
    return values;
}

class Query
{
public:
    Query(const QSqlDatabase &db, const QString &sql)
        : m_query(db)
    {
        m_query.setForwardOnly(true);
        m_prepared = m_query.prepare(sql);
        if (!m_prepared)
            qWarning("newsbench-reportd: %s: %s", qPrintable(sql),
                     qPrintable(m_query.lastError().text()));
    }
    ~Query() { m_query.finish(); }

    bool exec(const QVariantList &values = {})
    {
        if (!m_prepared)
            return false;
        for (qsizetype i = 0; i < values.size(); ++i)
            m_query.bindValue(int(i), values[i]);
        if (m_query.exec())
            return true;
        qWarning("newsbench-reportd: %s: %s", qPrintable(m_query.lastQuery()),
                 qPrintable(m_query.lastError().text()));
        return false;
    }
    // The first column of the first row, if there is one.
    std::optional<QVariant> scalar(const QVariantList &values = {})
    {
        if (!exec(values) || !m_query.next())
            return std::nullopt;
        return m_query.value(0);
    }
    QSqlQuery &q() { return m_query; }

private:
    QSqlQuery m_query;
    bool m_prepared = false;
};

} // namespace

QByteArray SortParameter(int column)
{
    if (column == SortReports)
        return "reports";
    if (column == SortMeasured)
        return "measured";
    if (column == SortArticleSpeed)
        return "articlespeed";
    if (column == SortKnee)
        return "knee";
    return ReportKeyName(column).toLower();
}

Store::~Store()
{
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

std::unique_ptr<Store> Store::open(const QString &database, QString *error)
{
    static std::atomic<int> serial = 0;
    std::unique_ptr<Store> store(new Store);
    store->m_connection = u"newsbench-reportd-"_s + QString::number(++serial);
    store->m_database = database;
    if (!store->connect(error) || !store->migrate(error))
        return nullptr;
    return store;
}

bool Store::connect(QString *error)
{
    const QUrl url(m_database);
    m_postgres = url.scheme() == u"postgresql" || url.scheme() == u"postgres";
    QSqlDatabase db
        = QSqlDatabase::addDatabase(m_postgres ? u"QPSQL"_s : u"QSQLITE"_s, m_connection);
    if (!db.isValid()) {
        *error = u"no Qt SQL driver for "_s + (m_postgres ? u"PostgreSQL"_s : u"SQLite"_s);
        return false;
    }
    if (m_postgres) {
        db.setHostName(url.host());
        if (url.port() > 0)
            db.setPort(url.port());
        db.setUserName(url.userName());
        db.setPassword(url.password());
        db.setDatabaseName(url.path().mid(1));
        // libpq's own keywords, such as sslmode=require.
        QStringList options;
        for (const auto &[key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded))
            options << key + u'=' + value;
        db.setConnectOptions(options.join(u';'));
    } else {
        db.setDatabaseName(m_database);
        db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT="_s + QString::number(LockWaitMilliseconds));
    }
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    return configure(db, error);
}

// What every opened connection needs, the first and any later one: some settings last only
// as long as their connection.
bool Store::configure(QSqlDatabase &db, QString *error)
{
    if (m_postgres) {
        // "already exists, skipping" and the like are not worth a line in the journal.
        QSqlQuery(db).exec(u"SET client_min_messages = warning"_s);
        QSqlQuery(db).exec(u"SET lock_timeout = %1"_s.arg(LockWaitMilliseconds));
        return true;
    }
    // WAL lets readers go on during a write; FULL makes every answered report survive a
    // power cut as well as a killed process.
    for (const char *pragma :
         {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON"}) {
        QSqlQuery q(db);
        if (!q.exec(QString::fromLatin1(pragma))) {
            *error = q.lastError().text();
            return false;
        }
    }
    return true;
}

bool Store::begin(bool *busy)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    // IMMEDIATE: take SQLite's write lock now rather than fail to upgrade a read lock later.
    if (q.exec(m_postgres ? u"BEGIN"_s : u"BEGIN IMMEDIATE"_s))
        return true;
    // Another writer: opening the connection again would only wait again.
    if (busy && IsBusy(q.lastError())) {
        *busy = true;
        return false;
    }
    qWarning("newsbench-reportd: BEGIN: %s", qPrintable(q.lastError().text()));
    return reconnect()
        && QSqlQuery(QSqlDatabase::database(m_connection, false))
               .exec(m_postgres ? u"BEGIN"_s : u"BEGIN IMMEDIATE"_s);
}

bool Store::finish(bool commit)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (q.exec(commit ? u"COMMIT"_s : u"ROLLBACK"_s))
        return true;
    qWarning("newsbench-reportd: %s: %s", commit ? "COMMIT" : "ROLLBACK",
             qPrintable(q.lastError().text()));
    if (commit)
        finish(false);
    return false;
}

bool Store::abandon(QString *error, const QString &why)
{
    finish(false);
    *error = why;
    return false;
}

bool Store::migrate(QString *error)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    auto fail = [this, error](const QString &why) {
        return abandon(error, why);
    };
    // Starting up may wait for another process's migration as long as it takes; serving may
    // not wait long for anything.
    QSqlQuery wait(db);
    if (!m_postgres)
        wait.exec(u"PRAGMA busy_timeout = 10000"_s);
    const bool begun = begin();
    if (!m_postgres)
        wait.exec(u"PRAGMA busy_timeout = %1"_s.arg(LockWaitMilliseconds));
    if (!begun)
        return fail(u"cannot start the schema transaction"_s);
    if (m_postgres)
        wait.exec(u"SET LOCAL lock_timeout = 0"_s);
    // Several processes may start at once on one PostgreSQL: one migrates, the others wait.
    if (m_postgres && !Query(db, u"SELECT pg_advisory_xact_lock(?)"_s).exec({MigrationLockId}))
        return fail(u"cannot lock the schema"_s);
    // Statements that define the schema run as they are: PostgreSQL does not prepare them.
    if (QSqlQuery create(db); !create.exec(
            u"CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY, applied_at BIGINT NOT NULL)"_s))
        return fail(u"cannot create schema_migrations: "_s + create.lastError().text());
    const std::optional<QVariant> applied
        = Query(db, u"SELECT COALESCE(MAX(version), 0) FROM schema_migrations"_s).scalar();
    if (!applied)
        return fail(u"cannot read the schema version"_s);
    const int known = int(Migrations.size());
    if (applied->toInt() > known)
        return fail(u"the database has schema version %1, newer than this program's %2"_s
                        .arg(applied->toInt())
                        .arg(known));

    const QString id = m_postgres ? u"BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"_s
                                  : u"INTEGER PRIMARY KEY"_s;
    const On here = m_postgres ? On::PostgreSQL : On::SQLite;
    for (int version = applied->toInt() + 1; version <= known; ++version) {
        for (const Statement &statement : Migrations[version - 1]) {
            if (statement.on != On::Both && statement.on != here)
                continue;
            QSqlQuery q(db);
            if (!q.exec(QString::fromUtf8(statement.sql).replace(u"{id}"_s, id)))
                return fail(u"migration %1: %2"_s.arg(version).arg(q.lastError().text()));
        }
        if (!Query(db, u"INSERT INTO schema_migrations (version, applied_at) VALUES (?, ?)"_s)
                 .exec({version, QDateTime::currentSecsSinceEpoch()}))
            return fail(u"cannot record migration %1"_s.arg(version));
    }

    // Servers stored before the ranking had its figures get them now: every server has at
    // least one report, so a count of none means never figured.
    {
        QList<qint64> unfigured;
        Query q(db, u"SELECT id FROM servers WHERE figure_count = 0"_s);
        if (!q.exec())
            return fail(u"cannot read the servers"_s);
        while (q.q().next())
            unfigured << q.q().value(0).toLongLong();
        for (const qint64 server : unfigured) {
            if (!refigure(server, 0))
                return fail(u"cannot figure server %1"_s.arg(server));
        }
    }

    // The token secret: made once, kept in the database so that every process and every
    // restart signs alike.
    QByteArray fresh(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(fresh.begin(), fresh.end());
    if (!Query(
             db,
             u"INSERT INTO meta (singleton, data_version, secret) SELECT 1, 0, ? WHERE NOT EXISTS (SELECT 1 FROM meta)"_s)
             .exec({QString::fromLatin1(fresh.toHex())}))
        return fail(u"cannot create the secret"_s);
    const std::optional<QVariant> secret = Query(db, u"SELECT secret FROM meta"_s).scalar();
    if (!secret)
        return fail(u"cannot read the secret"_s);
    m_secret = QByteArray::fromHex(secret->toString().toLatin1());
    if (!finish(true)) {
        *error = u"cannot commit the schema"_s;
        return false;
    }
    return true;
}

QByteArray Store::clientKey(const QByteArray &address) const
{
    // What is stored is an HMAC of the address under the secret that sits in the same
    // database: whoever holds the database can try every IPv4 address against it, so this
    // is a pseudonym, not anonymity. It serves only the hourly limit, and every submission
    // blanks it on the reports older than that hour.
    return QMessageAuthenticationCode::hash("client\n" + address, m_secret,
                                            QCryptographicHash::Sha256)
        .left(16)
        .toHex();
}

std::optional<qint64> Store::dataVersion()
{
    // Every request asks this first, so it is where a lost connection (a restarted
    // PostgreSQL) is noticed and opened again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::optional<QVariant> v
            = Query(QSqlDatabase::database(m_connection, false), u"SELECT data_version FROM meta"_s)
                  .scalar();
        if (v)
            return v->toLongLong();
        if (attempt == 0 && !reconnect())
            break;
    }
    return std::nullopt;
}

bool Store::reconnect()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    db.close();
    QString error;
    if (!db.open())
        error = db.lastError().text();
    else if (configure(db, &error))
        return true;
    qWarning("newsbench-reportd: cannot open the database again: %s", qPrintable(error));
    return false;
}

Store::Submitted Store::submit(const Report &report, const QByteArray &clientAddress, qint64 now,
                               const SubmitLimits &limits)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const QByteArray fingerprint
        = QCryptographicHash::hash(CanonicalText(report), QCryptographicHash::Sha256)
              .left(16)
              .toHex();
    const QByteArray client = clientKey(clientAddress);
    Submitted result;
    bool busy = false;
    if (!begin(&busy)) {
        result.outcome = busy ? Outcome::Busy : Outcome::Failed;
        return result;
    }
    auto rollback = [this, &result](Outcome outcome) {
        finish(false);
        result.outcome = outcome;
        return result;
    };

    // The first write of every transaction: from here on, writers take turns, so the
    // counts below cannot change under us, in one process or many.
    if (Query bump(db, u"UPDATE meta SET data_version = data_version + 1"_s); !bump.exec())
        return rollback(IsBusy(bump.q().lastError()) ? Outcome::Busy : Outcome::Failed);

    // The client key has served its hour on older reports: it goes.
    if (!Query(db, u"UPDATE reports SET client = '' WHERE client <> '' AND received_at <= ?"_s)
             .exec({now - 3600}))
        return rollback(Outcome::Failed);

    {
        Query repeat(
            db,
            u"SELECT server_id FROM reports WHERE fingerprint = ? AND received_at > ? ORDER BY id DESC LIMIT 1"_s);
        if (!repeat.exec({QString::fromLatin1(fingerprint), now - limits.repeatWindow}))
            return rollback(Outcome::Failed);
        if (repeat.q().next()) {
            result.serverId = repeat.q().value(0).toLongLong();
            return rollback(Outcome::Repeated);
        }
    }

    if (limits.reportsPerHour > 0) {
        const std::optional<QVariant> recent
            = Query(db, u"SELECT COUNT(*) FROM reports WHERE client = ? AND received_at > ?"_s)
                  .scalar({QString::fromLatin1(client), now - 3600});
        if (!recent)
            return rollback(Outcome::Failed);
        if (recent->toInt() >= limits.reportsPerHour)
            return rollback(Outcome::TooMany);
    }

    const QString key = ServerKey(report.server);
    std::optional<QVariant> serverId;
    {
        Query known(db, u"SELECT id FROM servers WHERE address_key = ?"_s);
        if (!known.exec({key}))
            return rollback(Outcome::Failed);
        if (known.q().next())
            serverId = known.q().value(0);
    }
    if (!serverId) {
        serverId
            = Query(
                  db,
                  u"INSERT INTO servers (address_key, address, report_count, latest_report_id, last_measured) VALUES (?, ?, 0, 0, ?) RETURNING id"_s)
                  .scalar({key, report.server, now});
        if (!serverId)
            return rollback(Outcome::Failed);
    }
    result.serverId = serverId->toLongLong();

    QString sql = u"INSERT INTO reports (server_id, received_at, client, fingerprint, "_s
        + ReportColumns().join(u", "_s) + u", "_s + ArticleColumns().join(u", "_s)
        + u") VALUES (?, ?, ?, ?"_s;
    sql += QString(u", ?"_s).repeated(ReportColumns().size() + ArticleColumns().size())
        + u") RETURNING id"_s;
    const std::optional<QVariant> reportId
        = Query(db, sql).scalar(QVariantList{result.serverId, now, QString::fromLatin1(client),
                                             QString::fromLatin1(fingerprint)}
                                + ReportValues(report));
    if (!reportId)
        return rollback(Outcome::Failed);
    result.reportId = reportId->toLongLong();

    if (!refigure(result.serverId, 1))
        return rollback(Outcome::Failed);
    if (!finish(true)) {
        result.outcome = Outcome::Failed;
        return result;
    }
    result.outcome = Outcome::Stored;
    return result;
}

bool Store::deleteReport(qint64 reportId, QString *error)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    auto fail = [this, error](const QString &why) {
        return abandon(error, why);
    };
    if (!begin())
        return fail(u"cannot start a transaction"_s);
    if (!Query(db, u"UPDATE meta SET data_version = data_version + 1"_s).exec())
        return fail(u"cannot write to the database"_s);
    const std::optional<QVariant> serverId
        = Query(db, u"SELECT server_id FROM reports WHERE id = ?"_s).scalar({reportId});
    if (!serverId)
        return fail(u"no report %1"_s.arg(reportId));
    if (!Query(db, u"DELETE FROM reports WHERE id = ?"_s).exec({reportId}))
        return fail(u"cannot delete report %1"_s.arg(reportId));

    // The server now ranks by the reports before it, or leaves the ranking with its last one.
    bool empty = false;
    bool written = refigure(serverId->toLongLong(), -1, &empty);
    if (written && empty)
        written = Query(db, u"DELETE FROM servers WHERE id = ?"_s).exec({*serverId});
    if (!written)
        return fail(u"cannot update the server of report %1"_s.arg(reportId));
    if (!finish(true)) {
        *error = u"cannot commit"_s;
        return false;
    }
    return true;
}

std::optional<Store::Totals> Store::totals()
{
    Query q(QSqlDatabase::database(m_connection, false),
            u"SELECT COUNT(*), COALESCE(SUM(report_count), 0) FROM servers"_s);
    if (!q.exec() || !q.q().next())
        return std::nullopt;
    return Totals{q.q().value(0).toInt(), q.q().value(1).toLongLong()};
}

std::optional<QList<ServerSummary>> Store::ranking(int sortColumn, bool descending, int offset,
                                                   int limit)
{
    // The ORDER BY comes from our own table of columns, never from the request.
    const QString direction = descending ? u" DESC"_s : u" ASC"_s;
    Query q(QSqlDatabase::database(m_connection, false),
            SelectServerSummary() + u" ORDER BY "_s + sortExpression(sortColumn, direction)
                + u" LIMIT ? OFFSET ?"_s);
    if (!q.exec({limit, offset}))
        return std::nullopt;
    QList<ServerSummary> rows;
    while (q.q().next())
        rows << ReadServerSummary(q.q());
    return rows;
}

std::optional<std::optional<ServerSummary>> Store::server(qint64 id)
{
    Query q(QSqlDatabase::database(m_connection, false),
            SelectServerSummary() + u" WHERE s.id = ?"_s);
    if (!q.exec({id}))
        return std::nullopt;
    if (!q.q().next())
        return std::optional<ServerSummary>();
    return std::optional<ServerSummary>(ReadServerSummary(q.q()));
}

std::optional<QList<StoredReport>> Store::reports(qint64 serverId, int offset, int limit)
{
    Query q(QSqlDatabase::database(m_connection, false),
            u"SELECT "_s + SelectReport()
                + u" FROM reports r WHERE r.server_id = ? ORDER BY r.id DESC LIMIT ? OFFSET ?"_s);
    if (!q.exec({serverId, limit, offset}))
        return std::nullopt;
    QList<StoredReport> rows;
    while (q.q().next())
        rows << ReadReportRow(q.q(), 0);
    return rows;
}

QString Store::sortExpression(int column, const QString &direction) const
{
    // Texts sort by their bytes on both databases (SQLite's own way), never by a locale's
    // collation, so that both give one order.
    const QString bytes = m_postgres ? u" COLLATE \"C\""_s : QString();
    QString order;
    if (column == KeyServer)
        order = u"s.host_key"_s + bytes + direction + u", s.address_key"_s + bytes + direction;
    else if (column == KeyName)
        order = u"s.name_key"_s + bytes + direction;
    else if (column == KeyType || column == KeyPost)
        order = u"r."_s + ReportColumns().at(column) + direction;
    else if (column == SortReports)
        order = u"s.report_count"_s + direction;
    else if (column == SortMeasured)
        order = u"s.last_measured"_s + direction;
    else if (column == SortArticleSpeed) // no article figures: last either way
        order = u"(s.median_article_speed IS NULL), s.median_article_speed"_s + direction;
    else if (column == SortKnee)
        order = u"(s.median_knee IS NULL), s.median_knee"_s + direction;
    else if (column >= KeyFirstExpire) // -1, no group of the hierarchy, last either way
        order = u"(s.median_%1 < 0), s.median_%1"_s.arg(ReportColumns().at(column)) + direction;
    else
        order = u"s.median_"_s + ReportColumns().at(column) + direction;
    return order + u", s.id"_s + direction;
}

bool Store::refigure(qint64 serverId, int added, bool *empty)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const QStringList columns = FigureColumns();
    // The latest reports, newest first; those over FigureDays older than the first are left.
    std::vector<std::vector<qint64>> values(size_t(columns.size()));
    qint64 latestId = 0, latestAt = 0;
    QString name, address;
    {
        Query recent(db,
                     u"SELECT id, received_at, service_name, server_address, "_s
                         + columns.join(u", "_s)
                         + u" FROM reports WHERE server_id = ? ORDER BY id DESC LIMIT ?"_s);
        if (!recent.exec({serverId, FigureReports}))
            return false;
        constexpr int First = 4;
        while (recent.q().next()) {
            const qint64 at = recent.q().value(1).toLongLong();
            if (latestId == 0) {
                latestId = recent.q().value(0).toLongLong();
                latestAt = at;
                name = recent.q().value(2).toString();
                address = recent.q().value(3).toString();
            } else if (at < latestAt - qint64(FigureDays) * 86400) {
                continue;
            }
            for (size_t c = 0; c < values.size(); ++c)
                values[c].push_back(recent.q().value(First + int(c)).toLongLong());
        }
    }
    if (empty)
        *empty = latestId == 0;
    if (latestId == 0)
        return true;

    // The lower of the two middle values when the count is even: always a value some
    // report gave.
    QVariantList bound = {added,
                          latestId,
                          latestAt,
                          address,
                          ServerHostKey(address),
                          name.toCaseFolded(),
                          int(values[0].size())};
    for (std::vector<qint64> &column : values) {
        const auto middle = column.begin() + qsizetype(column.size() - 1) / 2;
        std::nth_element(column.begin(), middle, column.end());
        bound << *middle;
    }

    // The article speed and knee: the same rule over the reports that measured them.
    std::vector<qint64> speeds, knees;
    {
        Query recent(
            db,
            u"SELECT article_speed, knee FROM reports WHERE server_id = ? AND article_connections > 0 AND received_at >= ? ORDER BY id DESC LIMIT ?"_s);
        if (!recent.exec({serverId, latestAt - qint64(FigureDays) * 86400, FigureReports}))
            return false;
        while (recent.q().next()) {
            speeds.push_back(recent.q().value(0).toLongLong());
            knees.push_back(recent.q().value(1).toLongLong());
        }
    }
    auto median = [](std::vector<qint64> &column) {
        if (column.empty())
            return QVariant(QMetaType::fromType<qlonglong>());
        const auto middle = column.begin() + qsizetype(column.size() - 1) / 2;
        std::nth_element(column.begin(), middle, column.end());
        return QVariant(*middle);
    };
    bound << int(speeds.size()) << median(speeds) << median(knees);
    bound << serverId;
    return Query(db,
                 u"UPDATE servers SET report_count = report_count + ?, latest_report_id = ?, "
                 u"last_measured = ?, address = ?, host_key = ?, name_key = ?, figure_count = ?, "
                 u"median_"_s
                     + columns.join(u" = ?, median_"_s)
                     + u" = ?, article_count = ?, median_article_speed = ?, median_knee = ?"
                       u" WHERE id = ?"_s)
        .exec(bound);
}
