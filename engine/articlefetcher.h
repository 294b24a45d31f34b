#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <array>
#include <vector>

#include "engine/clientsocket.h"
#include "engine/plainstream.h"

class ArticleWalk;

// Where the articles come from: the server as ClientSocket takes it, the account, the group.
struct ArticleSource
{
    QString host;
    quint16 port = 119;
    bool tls = false;
    // No AUTHINFO when the user is empty.
    QByteArray user;
    QByteArray password;
    QByteArray group;
    // The group's range from LIST; the first GROUP answer replaces it.
    qint64 first = 0;
    qint64 last = 0;
    // Passed to each connection's ClientSocket: authorities trusted besides the system's, and
    // the addresses taken for the host instead of a lookup (see ClientSocket).
    QList<QSslCertificate> trustedAuthorities;
    QList<QHostAddress> lookupResult;
};

// One connection of an article sweep, driven by its socket's events so that many run side by
// side on one thread: greeting, AUTHINFO when asked, GROUP, a few STATs when asked, then BODY
// after BODY down the shared walk while fetching is on. Every byte received is counted.
class ArticleFetcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ArticleFetcher)

public:
    enum class State {
        Idle,
        Connecting,
        Greeting,
        AuthUser,
        AuthPass,
        Group,
        Stat,
        Ready, // between articles, fetching or not
        Asked, // BODY sent
        Body,
        Quitting,
        Closed,
    };
    // How the connection ended, once Closed.
    enum class End {
        None,
        Refused, // no connection, 400 or 502 at the greeting, or closed before it was ready
        Failed, // an answer that ends the sweep: see failureReply
        Lost, // the server went away after the connection was ready
        Closed, // closed by us
    };

    // A reply or body line longer than this is hostile: the connection is dropped.
    static constexpr qsizetype MaxLineLength = 1024 * 1024;

    ArticleFetcher(const ArticleSource &source, ArticleWalk &walk, int statProbes,
                   QObject *parent = nullptr);
    ~ArticleFetcher() override;

    void start();
    // On: BODY after BODY from Ready on. Off: the article under way is read to its end, then
    // the connection waits in Ready.
    void setFetching(bool fetching);
    // QUIT where connected, then the socket closes at its answer, at the server's close or at
    // close(); a body under way is read to its end first, as the answer follows it.
    void quit();
    void close();

    State state() const { return m_state; }
    End end() const { return m_end; }
    bool isReady() const { return m_state >= State::Ready && m_state <= State::Body; }
    bool quitSent() const { return m_quitSent; }

    // Bytes received from the server, all of them.
    qint64 bytesReceived = 0;
    // From the connection (after TLS) to the greeting's line; -1 when none came.
    qint64 greetingUs = -1;
    // From each STAT sent to its answer.
    std::vector<qint64> statUs;
    // The GROUP answer's range, when it gave one.
    qint64 groupFirst = 0;
    qint64 groupLast = 0;
    bool groupRangeKnown = false;
    // The reply that made the connection fail, or why TLS failed.
    QByteArray failureReply;
    QString failureReason;

signals:
    // The state or the end changed.
    void changed();

private:
    void onConnected();
    void onRead();
    void onStreamReadable();
    void readBlock(QByteArrayView block);
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    // Each reads the block from pos on and returns where the other is to go on, or -1 when
    // the block is done with (read, kept for later, or the connection dropped).
    qsizetype readLines(QByteArrayView block, qsizetype pos);
    qsizetype readBody(QByteArrayView block, qsizetype pos);
    bool boundLines(const char *data, qsizetype size);
    // False once the connection is no longer read (closed, or dropped).
    bool handleLine(QByteArrayView line);
    // Sends and starts the clock of the answer.
    void send(const QByteArray &command);
    void write(const QByteArray &data);
    bool isConnected() const { return m_stream.isOpen() || m_socket.isConnected(); }
    void next();
    // Says goodbye (QUIT) and drops the connection over an answer that ends the sweep.
    bool fail(QByteArrayView line);
    void finish(End end);
    void setState(State state);

    ArticleSource m_source;
    ArticleWalk &m_walk;
    // Connects; a plain connection then moves to m_stream, a TLS one stays.
    ClientSocket m_socket;
    PlainStream m_stream;
    State m_state = State::Idle;
    End m_end = End::None;
    int m_statsLeft = 0;
    qint64 m_statNumber = 0;
    bool m_fetching = false;
    bool m_quitSent = false;
    QElapsedTimer m_clock;
    // The start of a line that the data received so far has not finished.
    QByteArray m_carry;
    // In a body: its last bytes so far, and the bytes since its last line feed.
    std::array<char, 4> m_tail{};
    qsizetype m_tailSize = 0;
    qsizetype m_sinceLineFeed = 0;
};
