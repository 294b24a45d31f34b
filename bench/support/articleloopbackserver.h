#pragma once

#include <QByteArray>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

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

    quint16 port() const { return m_port; }
    // The bytes of one answer to BODY, status line and terminator included.
    qsizetype bodyReplySize() const { return m_bodyReply.size(); }
    int connectionCount() const { return m_connections.load(); }
    void stop();

private:
    void serve();
    void serveClient(int fd);

    QByteArray m_bodyReply;
    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_connections = 0;
    std::thread m_thread;
    std::mutex m_clientsMutex;
    std::vector<std::thread> m_clients;
};

// A body of about `size` bytes: lines of 128 bytes as yEnc writes them, some dot-stuffed,
// ending in the terminating line.
QByteArray MakeArticleBody(qsizetype size);
