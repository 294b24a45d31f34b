#include "engine/plainstream.h"

#include <QSocketNotifier>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

PlainStream::PlainStream(QObject *parent)
    : QObject(parent)
{
}

PlainStream::~PlainStream()
{
    close();
}

void PlainStream::adopt(int fd)
{
    close();
    m_fd = fd;
    m_buffer.resize(BufferSize);
    m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &PlainStream::readable);
    m_writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, &PlainStream::flush);
}

void PlainStream::close()
{
    // The notifiers go before the descriptor they watch.
    m_readNotifier.reset();
    m_writeNotifier.reset();
    m_output.clear();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void PlainStream::send(QByteArrayView data)
{
    if (m_fd < 0)
        return;
    m_output.append(data);
    flush();
}

void PlainStream::flush()
{
    while (!m_output.isEmpty()) {
        // No SIGPIPE from a peer that has gone: the read side reports it.
        const ssize_t sent
            = ::send(m_fd, m_output.constData(), std::size_t(m_output.size()), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        if (sent < 0) {
            m_output.clear();
            break;
        }
        m_output.remove(0, sent);
    }
    m_writeNotifier->setEnabled(false);
}

PlainStream::Outcome PlainStream::receive(QByteArrayView &data)
{
    data = {};
    if (m_fd < 0)
        return Outcome::Closed;
    ssize_t got;
    do {
        got = ::recv(m_fd, m_buffer.data(), std::size_t(m_buffer.size()), 0);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        data = QByteArrayView(m_buffer.constData(), got);
        return Outcome::Data;
    }
    if (got == 0)
        return Outcome::Closed;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::Nothing : Outcome::Failed;
}
