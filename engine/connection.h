#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <span>
#include <stdexcept>
#include <vector>

#include "engine/clientsocket.h"

// Ends a run with a message: a server's reply text, or empty when the connection is gone.
class EAbort : public std::exception
{
public:
    explicit EAbort(QByteArray message = {})
        : m_message(std::move(message))
    {
    }
    const QByteArray &message() const { return m_message; }
    const char *what() const noexcept override { return "EAbort"; }

private:
    QByteArray m_message;
};

// Receives the lines of a dot-terminated body, one batch per pass over received data.
// Views point into the reader's buffer and are valid only during the call.
class BodySink
{
public:
    virtual ~BodySink() = default;
    virtual void bodyStarted() { }
    virtual void bodyBatch(std::span<const QByteArrayView> lines) = 0;
};

// A sink that simply keeps every body line.
class LineList : public BodySink
{
public:
    void bodyStarted() override { lines.clear(); }
    void bodyBatch(std::span<const QByteArrayView> batch) override;
    std::vector<QByteArray> lines;
};

enum class ConnectionState { None = 0, Connected = 1, Failed = 2, Closed = 3 };

// The connection of a run: socket events, the idle time-out and the two reply readers.
class Connection : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Connection)

public:
    static constexpr int IdleSeconds = 180;
    // A reply or body line longer than this is hostile: the connection is dropped.
    static constexpr qsizetype MaxLineLength = 1024 * 1024;

    explicit Connection(QObject *parent = nullptr);
    ~Connection() override;

    ClientSocket ClientSocket1;
    QTimer Timer1;

    ConnectionState connectionState = ConnectionState::None;
    QByteArray ReceiveBuffer;
    int IdleCountdown = 0;
    // Why the last connection attempt failed, for the user; empty when the failure speaks for
    // itself (a refused connection, an unknown name, the stop button).
    QString failureReason;
    // Microseconds from the last command sent to the terminating line of the body that
    // answered it, from a monotonic clock.
    qint64 ListElapsedUs = 0;

    // Event handlers, public so that tests can drive them.
    void ClientSocket1Connect();
    void ClientSocket1Disconnect();
    void ClientSocket1Read();
    void ClientSocket1Error(QAbstractSocket::SocketError error);
    void Timer1Timer();

    // Opens the socket and waits for the outcome; true when connected.
    bool connectToServer();

    void SendCommand(const QByteArray &text);
    // Returns the status of the reply; throws EAbort with an empty message when the
    // connection is gone before a whole reply line arrived.
    int ReadResponse(QByteArray &reply);
    // Like ReadResponse, but a connection closed before the reply is not an error
    // (the answer to QUIT): returns -1 then.
    int ReadClosingResponse(QByteArray &reply);
    // Reads a status line and, when it is the expected one, the body up to its
    // terminating line. Returns the status, or -1 when the body broke off.
    int ReadMultiLineResponse(BodySink &sink, int expectedStatus, QByteArray &reply);

    // Runs the pending events, waiting for the next one when none is pending.
    static void pump();

private:
    bool readReplyLine(QByteArray &reply);
    void dropHostileConnection();

    std::vector<QByteArrayView> m_batch;
    QElapsedTimer m_commandSent;
    bool m_everConnected = false;
};

// Status of a reply: its first three characters as a decimal number, or -1.
int ReplyStatus(QByteArrayView reply);
