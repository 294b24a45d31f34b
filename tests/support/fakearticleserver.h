#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <vector>

class QSslSocket;

// A news server on 127.0.0.1 and an ephemeral port that serves one group's articles to many
// clients at once, on the test's thread. Articles are numbered first..last; a body is about
// articleSize bytes of lines, some of them dot-stuffed.
//
//   FakeArticleServer server;
//   server.maxConnections = 2;           // a third connection at once gets 502 and a close
//   server.missing = {100, 99};          // BODY and STAT of these answer 423 or 430
//   server.closeInBody = 3;              // the third body breaks off halfway, with a close
//   server.bytesPerSecond = 500000;      // each connection's pace, and all of them together:
//   server.totalBytesPerSecond = 1000000;
// LIST names the one group, so that a whole run can be pointed at it; other commands of a
// run (XHDR, HDR, XOVER, OVER) get 500.
class FakeArticleServer : public QObject
{
    Q_OBJECT

public:
    // What one connection did, kept after it is gone.
    struct Client
    {
        QList<QByteArray> commands;
        bool greeted = false; // got 200, not a refusal
        bool quit = false;
        bool dropped = false; // closed by the server in the middle of a body
        bool open = true;
    };

    explicit FakeArticleServer(bool tls = false);
    ~FakeArticleServer() override;

    quint16 port() const { return m_server.serverPort(); }

    QByteArray group = "alt.binaries.test";
    qint64 first = 1;
    qint64 last = 1000;
    qsizetype articleSize = 64 * 1024;
    // Connections open at once beyond this get "502" and a close; 0 for no limit, negative
    // to refuse every one.
    int maxConnections = 0;
    // What such a connection gets before the close; nothing at all when empty.
    QByteArray refusal = "502 too many connections\r\n";
    QByteArray user; // AUTHINFO is required when set
    QByteArray password;
    QSet<qint64> missing;
    // The BODY (counted over all connections, from 1) whose body breaks off halfway; 0: none.
    int closeInBody = 0;
    // Paces, 0 for none.
    qint64 bytesPerSecond = 0;
    qint64 totalBytesPerSecond = 0;

    const std::vector<std::shared_ptr<Client>> &clients() const { return m_clients; }
    int openCount() const;
    int mostOpenAtOnce() const { return m_mostOpen; }
    int bodiesServed() const { return m_bodies; }

private:
    struct Session;
    class Listener : public QTcpServer
    {
    protected:
        void incomingConnection(qintptr descriptor) override;
    };

    void onNewConnection();
    void begin(Session *session);
    void answer(Session *session, const QByteArray &command);
    void queue(Session *session, const QByteArray &bytes, bool closeAfter = false);
    // Writes up to allowance bytes of what waits; returns how many.
    qint64 flush(Session *session, qint64 allowance);
    void tick();

    bool m_tls;
    Listener m_server;
    QTimer m_pace;
    QElapsedTimer m_paceClock;
    qint64 m_lastTickUs = 0;
    qint64 m_totalCredit = 0;
    std::vector<std::unique_ptr<Session>> m_sessions;
    std::vector<std::shared_ptr<Client>> m_clients;
    int m_mostOpen = 0;
    int m_bodies = 0;
};
