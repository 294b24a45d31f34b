#pragma once

#include <QtGlobal>

#include <optional>

// The article numbers the connections of a sweep ask for, shared by all of them so that no two
// fetch the same article at once, as a downloader splits a post: from the group's last number
// down to its first, then from the top again. Re-reading an article measures the server as
// well as a new one does; the walk gives up only when a whole pass found nothing.
class ArticleWalk
{
    Q_DISABLE_COPY_MOVE(ArticleWalk)

public:
    ArticleWalk() = default;

    // An empty range (last below first, or no positive number) has nothing to walk.
    void reset(qint64 first, qint64 last);
    bool isEmpty() const { return m_last < m_first || m_last <= 0; }

    // The next number to ask for; nothing once the walk is exhausted.
    std::optional<qint64> next();
    // Every answer to a BODY is reported once: found, or missing (423, 430).
    void answered(bool found);
    // A whole pass over the range was answered "missing".
    bool exhausted() const { return m_exhausted; }

    qint64 asked() const { return m_asked; }
    qint64 found() const { return m_found; }

private:
    qint64 m_first = 0;
    qint64 m_last = 0;
    qint64 m_next = 0;
    qint64 m_asked = 0;
    qint64 m_found = 0;
    qint64 m_missingInRow = 0;
    bool m_exhausted = false;
};
