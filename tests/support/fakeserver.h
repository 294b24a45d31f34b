#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>
#include <functional>

// An NNTP server on 127.0.0.1 and an ephemeral port that plays a script, for exact
// byte-level cases. It runs on the test's thread: the client's waits drive it.
//
//   FakeServer server;
//   server.greeting("200 ready\r\n");
//   server.expect("LIST", {"215 list\r\nalt.x 2", " 1 y\r\n.\r\n"});
//   server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
//
// A reply given as pieces goes out one piece each time the test's event loop has nothing
// else to do, so the client reads every piece on its own, never two merged.
// Over TLS its certificate, from tests/data/tls, names localhost, 127.0.0.1 and ::1, issued by
// testAuthority(); other starts spoil the handshake on purpose.
// Another loopback address with the port of a first server makes a second address of one
// name: FakeServer second(Start::Plain, QHostAddress("127.0.0.3"), first.port()).
class FakeServer : public QObject
{
    Q_OBJECT

public:
    // CloseAfter hangs up together with the last bytes; CloseLater once the client has
    // taken them.
    enum After { StayOpen, CloseAfter, CloseLater };
    // How a connection begins: at once, after a TLS handshake, or with a handshake spoiled:
    // a plain greeting in its place, a close in its middle, no answer to it, a close before
    // it; or after a handshake with a certificate whose CN is localhost but whose
    // subjectAltName names other.test alone.
    enum class Start {
        Plain,
        Tls,
        Junk,
        CloseInHandshake,
        StallHandshake,
        CloseAtOnce,
        TlsLocalhostOnlyInCn
    };
    using Handler = std::function<void(FakeServer &server, const QByteArray &command)>;

    explicit FakeServer(Start start = Start::Plain,
                        const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    ~FakeServer() override;

    quint16 port() const { return m_server.serverPort(); }
    static QList<QSslCertificate> testAuthority();
    // A certificate of tests/data/tls, by its file name.
    static QSslCertificate testCertificate(const char *fileName);

    // Sent as soon as a client connects (nothing when empty).
    void greeting(const QList<QByteArray> &pieces, After after = StayOpen);
    void greeting(const QByteArray &bytes, After after = StayOpen)
    {
        greeting(QList<QByteArray>{bytes}, after);
    }
    // The next command must be `command` (without CR LF); `reply` answers it.
    void expect(const QByteArray &command, const QList<QByteArray> &reply, After after = StayOpen);
    void expect(const QByteArray &command, const QByteArray &reply, After after = StayOpen)
    {
        expect(command, QList<QByteArray>{reply}, after);
    }
    // Commands that no scripted step is left for go here; the default answers "500 unexpected".
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    // Raw access for handlers and tests.
    void send(const QByteArray &bytes);
    void sendInPieces(const QList<QByteArray> &pieces, After after = StayOpen);
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
        QList<QByteArray> reply;
        After after;
    };

    // Hands out TLS-capable sockets.
    class Listener : public QTcpServer
    {
    protected:
        void incomingConnection(qintptr descriptor) override;
    };

    void onNewConnection();
    void begin(QTcpSocket *socket);
    void onReadyRead();
    void sendNextPiece();

    Start m_start;
    Listener m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_pending;
    QList<QByteArray> m_greeting;
    After m_greetingAfter = StayOpen;
    std::deque<Step> m_steps;
    std::deque<QByteArray> m_pieces;
    After m_piecesAfter = StayOpen;
    Handler m_handler;
    int m_connections = 0;
};
