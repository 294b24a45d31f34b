#include "bench/support/articleloopbackserver.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/support/loopbackserver.h"

QByteArray MakeArticleBody(qsizetype size)
{
    QByteArray body;
    body.reserve(size + 256);
    body += "=ybegin line=128 size=" + QByteArray::number(size) + " name=bench.bin\r\n";
    for (int line = 0; body.size() < size; ++line) {
        QByteArray text(128, char('A' + line % 26));
        if (line % 9 == 4)
            text.prepend('.'); // a leading dot, doubled (RFC 3977 3.1.1)
        body += text + "\r\n";
    }
    return body + "=yend\r\n.\r\n";
}

ArticleLoopbackServer::ArticleLoopbackServer(qsizetype articleSize)
    : m_bodyReply("222 0 <bench@article>\r\n" + MakeArticleBody(articleSize))
    , m_listener([this](int fd) { serveClient(fd); })
{
}

ArticleLoopbackServer::~ArticleLoopbackServer()
{
    stop();
}

void ArticleLoopbackServer::serveClient(int fd)
{
    timeval limit{LoopbackServer::SendStallSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    static constexpr QByteArrayView Greeting = "200 bench article server ready\r\n";
    if (!SendAll(fd, Greeting.data(), Greeting.size()))
        return;
    QByteArray pending;
    char chunk[4096];
    while (!m_listener.stopping()) {
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, ConnectionThreads::PollMs);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return;
        pending.append(chunk, got);
        qsizetype end;
        while ((end = pending.indexOf("\r\n")) >= 0) {
            const QByteArray command = pending.left(end);
            pending.remove(0, end + 2);
            QByteArray reply;
            if (command.startsWith("BODY ")) {
                if (!SendAll(fd, m_bodyReply.constData(), m_bodyReply.size()))
                    return;
                continue;
            }
            if (command.startsWith("GROUP "))
                reply = "211 " + QByteArray::number(Last - First + 1) + ' '
                    + QByteArray::number(First) + ' ' + QByteArray::number(Last) + ' ' + Group
                    + "\r\n";
            else if (command.startsWith("STAT "))
                reply = "223 " + command.mid(5) + " <bench@article>\r\n";
            else if (command == "QUIT")
                reply = "205 bye\r\n";
            else
                reply = "500 what?\r\n";
            if (!SendAll(fd, reply.constData(), reply.size()) || command == "QUIT")
                return;
        }
    }
}
