#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>

#include <memory>

class QSocketNotifier;

// A connected plain TCP socket read straight into one kept buffer. For readers that take
// hundreds of megabytes and look at each block once: Qt's socket copies every block into a
// new allocation before handing it over, which costs about a quarter of the speed at
// loopback rates. The descriptor is non-blocking; readable() comes from the event loop of
// the thread that adopted it.
class PlainStream : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PlainStream)

public:
    // As much as one read takes: small enough to stay in the cache while it is looked at.
    static constexpr qsizetype BufferSize = 256 * 1024;

    enum class Outcome {
        Data, // the view holds what arrived
        Nothing, // nothing yet
        Closed, // the peer closed; everything it sent has been read
        Failed, // reset or another error
    };

    explicit PlainStream(QObject *parent = nullptr);
    ~PlainStream() override;

    // Takes over a connected socket's descriptor, to close it when done.
    void adopt(int fd);
    bool isOpen() const { return m_fd >= 0; }
    void close();

    // Sends what the socket takes now and the rest when it can. A broken connection is not
    // reported here: it shows as the next receive's Closed or Failed, as the socket stays
    // readable.
    void send(QByteArrayView data);
    // One read of what is there; the view lasts until the next receive or close.
    Outcome receive(QByteArrayView &data);

signals:
    void readable();

private:
    void flush();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QByteArray m_buffer;
    QByteArray m_output;
};
