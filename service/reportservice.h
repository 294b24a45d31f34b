#pragma once

#include <QAbstractHttpServer>
#include <QCache>
#include <QHostAddress>

#include "service/clientaddress.h"
#include "service/connectionguard.h"
#include "service/store.h"

class QHttpServerRequest;
class QTcpSocket;

struct ServiceOptions
{
    SubmitLimits limits;
    qint64 tokenLifetime = 3600; // seconds a confirmation page may wait for its 登録
    GuardLimits guard;
    // The reverse proxies in front: a request from one of them comes from the client that
    // X-Forwarded-For names. Their connections are not held to the per-client cap.
    QList<Subnet> trustedProxies;
};

// The report service over HTTP: the confirmation page for the desktop program's report
// address, the form that stores it, the ranking, each server's page, the publisher page
// and a JSON API. Rendered pages are kept until the database's data version moves, which
// every write by any process sharing the database does.
class ReportService : public QAbstractHttpServer
{
    Q_OBJECT

public:
    ReportService(Store &store, const ServiceOptions &options, QObject *parent = nullptr);
    ~ReportService() override;

    // The port listened on, or 0.
    quint16 listenOn(const QHostAddress &address, quint16 port);

    struct Response
    {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
    };

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    static QByteArray serialize(const Response &response, bool withBody,
                                ConnectionGuard::Persistence persistence);
    static void write(QTcpSocket *socket, const Response &response, bool withBody,
                      ConnectionGuard::Persistence persistence);
    // What the connection guard answers on its own.
    QByteArray refusal(int status, bool withBody) const;
    Response tooLarge() const;
    Response route(const QHttpServerRequest &request);
    Response cached(const QString &key, const std::function<std::optional<Response>()> &render);
    std::optional<Response> rankingPage(int column, bool descending, int page);
    std::optional<Response> serverPage(qint64 id, int page);
    std::optional<Response> apiServers(int column, bool descending, int page, int perPage);
    std::optional<Response> apiReports(qint64 id, int page, int perPage);
    Response confirm(const QHttpServerRequest &request);
    Response submit(const QHttpServerRequest &request);
    // The client as the limits and the token know it: LimitKey() of its address.
    QByteArray clientKey(const QHttpServerRequest &request) const;

    Store &m_store;
    ServiceOptions m_options;
    QCache<QString, Response> m_cache;
    qint64 m_cacheVersion = -1;
    // Fixed for the service's life: made once.
    QByteArray m_stylesheet;
    QByteArray m_publisherPage;
};
