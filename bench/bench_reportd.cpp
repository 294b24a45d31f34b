// The report service under load: the ranking page of 100,000 reports over 2,000 servers,
// served by newsbench-reportd, against nginx serving the same page as a static file, both
// loaded by wrk over loopback in the same run; then the submission (the 登録 form's POST).
//
//   bench_reportd [--seconds N] [--connections N] [--postgres postgresql://user@host/db]
//
// Needs wrk and nginx (scripts/deps.sh bench). Target: at least 2,000 ranking pages a second
// with a 99th percentile under 50 ms.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QVariant>

#include <cstdio>

#include "bench/support/measure.h"
#include "service/store.h"
#include "service/token.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int Servers = 2000, ReportsPerServer = 50;
constexpr double TargetRate = 2000, TargetP99Ms = 50;

struct Load
{
    double rate = 0;
    double p99Ms = 0;
    QByteArray errors;
};

QString Find(const QString &program)
{
    const QString found = QStandardPaths::findExecutable(program, {u"/usr/sbin"_s, u"/usr/bin"_s});
    return found.isEmpty() ? QStandardPaths::findExecutable(program) : found;
}

// 100,000 reports over 2,000 servers in one transaction, as the service itself writes them.
bool Fill(const QString &database)
{
    QString error;
    {
        auto store = Store::open(database, &error); // the schema
        if (!store) {
            std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(database), qPrintable(error));
            return false;
        }
    }
    const QUrl url(database);
    const bool postgres = url.scheme().startsWith(u"postgres");
    QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? u"QPSQL"_s : u"QSQLITE"_s, u"fill"_s);
    if (postgres) {
        db.setHostName(url.host());
        if (url.port() > 0)
            db.setPort(url.port());
        db.setUserName(url.userName());
        db.setPassword(url.password());
        db.setDatabaseName(url.path().mid(1));
    } else {
        db.setDatabaseName(database);
    }
    if (!db.open())
        return false;
    QSqlQuery q(db);
    q.exec(u"BEGIN"_s);
    q.exec(u"DELETE FROM reports"_s);
    q.exec(u"DELETE FROM servers"_s);
    QSqlQuery server(db), report(db), latest(db);
    server.prepare(
        u"INSERT INTO servers (id, address_key, address, report_count, latest_report_id, last_measured) VALUES (?, ?, ?, ?, 0, ?)"_s);
    // Reports older than an hour keep no client key: the service blanks it at the first
    // submission after that hour, so a database in use never has a year of keys to blank.
    report.prepare(
        u"INSERT INTO reports (id, server_id, received_at, client, fingerprint, service_name, service_type, server_address, post_allowed, group_count, speed, count_abpe, count_as, count_jbpe, count_afj, count_abme, expire_abpe, expire_as, expire_jbpe, expire_afj, expire_abme) VALUES (?, ?, ?, '', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s);
    latest.prepare(u"UPDATE servers SET latest_report_id = ? WHERE id = ?"_s);
    QRandomGenerator random(20261207);
    const qint64 start = QDateTime::currentSecsSinceEpoch() - 86400 * 365;
    qint64 id = 0;
    for (int s = 1; s <= Servers; ++s) {
        const QString address = u"news%1.example.net"_s.arg(s);
        server.addBindValue(s);
        server.addBindValue(u"nntp://"_s + address + u":119"_s);
        server.addBindValue(address);
        server.addBindValue(ReportsPerServer);
        server.addBindValue(start + 86400 * 365);
        if (!server.exec()) {
            std::fprintf(stderr, "%s\n", qPrintable(server.lastError().text()));
            return false;
        }
        const int groups = int(random.bounded(5000, 120000));
        for (int r = 0; r < ReportsPerServer; ++r) {
            report.addBindValue(++id);
            report.addBindValue(s);
            report.addBindValue(start + qint64(r) * 86400 * 7 + s);
            report.addBindValue(QString::number(id));
            report.addBindValue(u"プロバイダ%1"_s.arg(s));
            report.addBindValue(s % 3);
            report.addBindValue(address);
            report.addBindValue(s % 2);
            report.addBindValue(groups + r);
            report.addBindValue(qint64(random.bounded(20000, 12'000'000)));
            for (int i = 0; i < 5; ++i)
                report.addBindValue(int(random.bounded(0, 3000)));
            for (int i = 0; i < 5; ++i)
                report.addBindValue(int(random.bounded(-1, 900)));
            if (!report.exec()) {
                std::fprintf(stderr, "%s\n", qPrintable(report.lastError().text()));
                return false;
            }
        }
        latest.addBindValue(id);
        latest.addBindValue(s);
        latest.exec();
    }
    q.exec(u"UPDATE meta SET data_version = data_version + 1"_s);
    if (postgres) {
        q.exec(
            u"SELECT setval(pg_get_serial_sequence('reports', 'id'), (SELECT MAX(id) FROM reports))"_s);
        q.exec(
            u"SELECT setval(pg_get_serial_sequence('servers', 'id'), (SELECT MAX(id) FROM servers))"_s);
    }
    return q.exec(u"COMMIT"_s);
}

quint16 StartService(QProcess &service, const QString &database)
{
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Set up as behind the web server of the README, which wrk stands in for: its
    // connections are not held to the per-client cap.
    service.start(QStringLiteral(NEWSBENCH_REPORTD),
                  {u"--listen"_s, u"127.0.0.1:0"_s, u"--database"_s, database,
                   u"--reports-per-hour"_s, u"0"_s, u"--trusted-proxy"_s, u"127.0.0.1"_s});
    if (!service.waitForReadyRead(30'000))
        return 0;
    static const QRegularExpression port(u"http://127.0.0.1:(\\d+)/"_s);
    return quint16(
        port.match(QString::fromLatin1(service.readAllStandardOutput())).captured(1).toUInt());
}

quint16 StartNginx(QProcess &nginx, const QString &folder)
{
    // One worker, like the service's one thread.
    const quint16 port = quint16(20000 + QRandomGenerator::global()->bounded(20000));
    QFile config(folder + u"/nginx.conf"_s);
    config.open(QIODevice::WriteOnly);
    config.write(
        QStringLiteral(
            "daemon off; worker_processes 1; pid %1/nginx.pid; error_log %1/error.log;\n"
            "events { worker_connections 1024; }\n"
            "http { access_log off; sendfile on; tcp_nopush on; keepalive_requests 1000000;\n"
            "  client_body_temp_path %1; proxy_temp_path %1; fastcgi_temp_path %1; uwsgi_temp_path "
            "%1; scgi_temp_path %1;\n"
            "  types { text/html html; }\n"
            "  server { listen 127.0.0.1:%2; root %1/site; index index.html; } }\n")
            .arg(folder)
            .arg(port)
            .toUtf8());
    config.close();
    nginx.start(Find(u"nginx"_s), {u"-c"_s, config.fileName(), u"-p"_s, folder});
    nginx.waitForStarted();
    QProcess probe;
    for (int i = 0; i < 50; ++i) {
        probe.start(Find(u"curl"_s).isEmpty() ? u"true"_s : Find(u"curl"_s),
                    {u"-sf"_s, u"http://127.0.0.1:%1/"_s.arg(port), u"-o"_s, u"/dev/null"_s});
        probe.waitForFinished();
        if (probe.exitCode() == 0)
            break;
        QThread::msleep(100);
    }
    return port;
}

double Milliseconds(const QString &value, const QString &unit)
{
    const double v = value.toDouble();
    return unit == u"us" ? v / 1000 : unit == u"s" ? v * 1000 : unit == u"m" ? v * 60000 : v;
}

Load Wrk(const QString &url, int seconds, int connections, const QString &script = QString())
{
    QStringList arguments
        = {u"-t2"_s, u"-c%1"_s.arg(connections), u"-d%1s"_s.arg(seconds), u"--latency"_s};
    if (!script.isEmpty())
        arguments << u"-s"_s << script;
    QProcess wrk;
    wrk.start(Find(u"wrk"_s), arguments << url);
    wrk.waitForFinished(seconds * 1000 + 60'000);
    const QString out = QString::fromLocal8Bit(wrk.readAllStandardOutput());
    Load load;
    load.rate
        = QRegularExpression(u"Requests/sec:\\s+([0-9.]+)"_s).match(out).captured(1).toDouble();
    const auto p99 = QRegularExpression(u"\\s99%\\s+([0-9.]+)(us|ms|s|m)"_s).match(out);
    load.p99Ms = Milliseconds(p99.captured(1), p99.captured(2));
    load.errors = QRegularExpression(u"(Non-2xx or 3xx responses: \\d+|Socket errors: [^\\n]+)"_s)
                      .match(out)
                      .captured(1)
                      .toUtf8();
    return load;
}

// Distinct reports with valid tokens, one form body each, for wrk to post in turn.
QString SubmissionScript(const QString &folder, const QByteArray &secret, int count)
{
    QFile script(folder + u"/post.lua"_s);
    script.open(QIODevice::WriteOnly);
    script.write("bodies = {\n");
    const qint64 expires = QDateTime::currentSecsSinceEpoch() + 3600;
    for (int i = 0; i < count; ++i) {
        Report r;
        r.name = u"ベンチ%1"_s.arg(i % 50);
        r.type = i % 3;
        r.server = u"post%1.example.org"_s.arg(i % 500);
        r.groups = 40000 + i;
        r.speed = 100000 + i;
        QByteArray body;
        for (const auto &[key, value] : FormFields(r))
            body += key + '=' + value.toPercentEncoding() + '&';
        body += "token=" + MintToken(secret, CanonicalText(r), "127.0.0.1", expires);
        script.write("\"" + body + "\",\n");
    }
    script.write(R"(}
counter = 0
setup = function(thread) thread:set("id", counter); counter = counter + 1 end
init = function() n = tonumber(wrk.thread:get("id")) end
request = function()
  n = n + 2
  return wrk.format("POST", "/reports", {["Content-Type"] = "application/x-www-form-urlencoded"}, bodies[(n % #bodies) + 1])
end
)");
    return script.fileName();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions(
        {{u"seconds"_s, u"Seconds of load for each measurement."_s, u"n"_s, u"10"_s},
         {u"connections"_s, u"Connections wrk keeps open."_s, u"n"_s, u"32"_s},
         {u"postgres"_s, u"Measure against this PostgreSQL database instead of SQLite."_s,
          u"url"_s}});
    parser.process(app);
    const int seconds = parser.value(u"seconds"_s).toInt();
    const int connections = parser.value(u"connections"_s).toInt();
    for (const QString &tool : {u"wrk"_s, u"nginx"_s}) {
        if (Find(tool).isEmpty()) {
            std::fprintf(stderr,
                         "bench_reportd: %s not found (scripts/deps.sh bench installs it)\n",
                         qPrintable(tool));
            return 2;
        }
    }

    QTemporaryDir folder;
    QDir(folder.path()).mkdir(u"site"_s);
    const QString database = parser.isSet(u"postgres"_s) ? parser.value(u"postgres"_s)
                                                         : folder.filePath(u"reports.sqlite"_s);
    QElapsedTimer clock;
    clock.start();
    if (!Fill(database))
        return 2;
    std::printf("bench_reportd: %d servers, %d reports in %s, filled in %.1f s\n", Servers,
                Servers * ReportsPerServer,
                parser.isSet(u"postgres"_s) ? "PostgreSQL" : "SQLite (WAL)",
                clock.elapsed() / 1000.0);

    QProcess service;
    const quint16 port = StartService(service, database);
    if (port == 0)
        return 2;
    const QString ranking = u"http://127.0.0.1:%1/?sort=speed&order=desc"_s.arg(port);
    QProcess curl;
    curl.start(Find(u"curl"_s),
               {u"-sf"_s, ranking, u"-o"_s, folder.filePath(u"site/index.html"_s)});
    curl.waitForFinished();
    std::printf("ranking page: %lld bytes, 50 of %d servers\n",
                QFileInfo(folder.filePath(u"site/index.html"_s)).size(), Servers);
    QProcess nginx;
    const quint16 nginxPort = StartNginx(nginx, folder.path());

    std::printf("wrk: 2 threads, %d connections, %d s each, over loopback; %d CPUs\n", connections,
                seconds, QThread::idealThreadCount());
    QFile loadavg(u"/proc/loadavg"_s);
    loadavg.open(QIODevice::ReadOnly);
    std::printf("load average before: %s", loadavg.readAll().constData());

    const Load ours = Wrk(ranking, seconds, connections);
    const Load theirs
        = Wrk(u"http://127.0.0.1:%1/index.html"_s.arg(nginxPort), seconds, connections);
    std::printf("\n%-32s %12s %10s\n", "ranking page", "requests/s", "p99 ms");
    std::printf("%-32s %12.0f %10.2f %s\n", "newsbench-reportd (1 thread)", ours.rate, ours.p99Ms,
                ours.errors.constData());
    std::printf("%-32s %12.0f %10.2f %s\n", "nginx static file (1 worker)", theirs.rate,
                theirs.p99Ms, theirs.errors.constData());
    std::printf("ratio to nginx: %.2f of its requests/s, %.1f x its p99\n", ours.rate / theirs.rate,
                theirs.p99Ms > 0 ? ours.p99Ms / theirs.p99Ms : 0.0);

    QString error;
    const QByteArray secret = [&] {
        auto s = Store::open(database, &error);
        return s ? s->secret() : QByteArray();
    }();
    const Load posts = Wrk(u"http://127.0.0.1:%1/reports"_s.arg(port), std::max(1, seconds / 2), 8,
                           SubmissionScript(folder.path(), secret, 20000));
    std::printf("\n%-32s %12.0f %10.2f %s\n", "submission (POST, 303)", posts.rate, posts.p99Ms,
                posts.errors.constData());
    const bool met = ours.rate >= TargetRate && ours.p99Ms < TargetP99Ms;
    std::printf("\ntarget (ranking >= %.0f/s, p99 < %.0f ms) met: %s\n", TargetRate, TargetP99Ms,
                YesNo(met));

    loadavg.seek(0);
    std::printf("load average after: %s", loadavg.readAll().constData());
    service.terminate();
    nginx.terminate();
    service.waitForFinished();
    nginx.waitForFinished();
    return met ? 0 : 1;
}
