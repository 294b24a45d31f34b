#pragma once

#include <QByteArray>

#include "bench/support/connectionthreads.h"

// A news server on 127.0.0.1 and an ephemeral port that serves one group's articles to many
// clients at once, each from a thread of its own with blocking POSIX sockets, so that the
// client's event loop never paces it. Every BODY gets the same prepared reply; STAT, GROUP and
// QUIT are answered as a server would. Every wait is bounded.
class ArticleLoopbackServer
{
    Q_DISABLE_COPY_MOVE(ArticleLoopbackServer)

public:
    static constexpr qint64 First = 1;
    static constexpr qint64 Last = 100000;
    static constexpr char Group[] = "alt.binaries.bench";

    explicit ArticleLoopbackServer(qsizetype articleSize);
    ~ArticleLoopbackServer();

    quint16 port() const { return m_listener.port(); }
    // The bytes of one answer to BODY, status line and terminator included.
    qsizetype bodyReplySize() const { return m_bodyReply.size(); }
    int connectionCount() const { return m_listener.connectionCount(); }
    void stop() { m_listener.stop(); }

private:
    void serveClient(int fd);

    QByteArray m_bodyReply;
    // Last: its threads start once the reply is made, and end before it goes.
    ConnectionThreads m_listener;
};

// A body of about `size` bytes: lines of 128 bytes as yEnc writes them, some dot-stuffed,
// ending in the terminating line.
QByteArray MakeArticleBody(qsizetype size);
