#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>
#include <functional>

// An NNTP server on 127.0.0.1 and an ephemeral port that plays a script, for exact
// byte-level cases. It runs on the test's thread: the client's waits drive it.
//
//   FakeServer server;
//   server.greeting("200 ready\r\n");
//   server.expect("LIST", "215 list\r\nalt.x 2 1 y\r\n.\r\n");
//   server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
class FakeServer : public QObject
{
    Q_OBJECT

public:
    enum After { StayOpen, CloseAfter };
    using Handler = std::function<void(FakeServer &server, const QByteArray &command)>;

    FakeServer();
    ~FakeServer() override;

    quint16 port() const { return m_server.serverPort(); }

    // Sent as soon as a client connects (nothing when empty).
    void greeting(const QByteArray &bytes, After after = StayOpen);
    // The next command must be `command` (without CR LF); `reply` answers it.
    void expect(const QByteArray &command, const QByteArray &reply, After after = StayOpen);
    // Commands that no scripted step is left for go here; the default answers "500 unexpected".
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    // Raw access for handlers and tests.
    void send(const QByteArray &bytes);
    void closeClient();
    QTcpSocket *client() const { return m_client; }
    bool hasClient() const { return m_client != nullptr; }
    int connectionCount() const { return m_connections; }

    // Every command line received, without CR LF, in order.
    QList<QByteArray> commands;
    // Script steps that did not match what the client sent.
    QList<QByteArray> mismatches;
    bool scriptDone() const { return m_steps.empty(); }

private:
    struct Step
    {
        QByteArray command;
        QByteArray reply;
        After after;
    };

    void onNewConnection();
    void onReadyRead();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_pending;
    QByteArray m_greeting;
    After m_greetingAfter = StayOpen;
    std::deque<Step> m_steps;
    Handler m_handler;
    int m_connections = 0;
};
