#include "engine/articlewalk.h"

#include "engine/grouplist.h"

#include <limits>

void ArticleWalk::reset(qint64 first, qint64 last)
{
    // Number 0 is no article (RFC 3977 6.1.1): a range that reaches below 1 starts at 1.
    m_first = qMax<qint64>(1, first);
    m_last = last;
    m_next = last;
    m_asked = 0;
    m_found = 0;
    m_missingInRow = 0;
    m_exhausted = false;
}

std::optional<qint64> ArticleWalk::next()
{
    if (m_exhausted || isEmpty())
        return std::nullopt;
    if (m_next < m_first)
        m_next = m_last;
    return m_next--;
}

void ArticleWalk::answered(bool found)
{
    ++m_asked;
    if (found) {
        ++m_found;
        m_missingInRow = 0;
        return;
    }
    ++m_missingInRow;
    // RangeEstimate saturates: a range too wide to count is never walked through anyway.
    const qint64 size = RangeEstimate(m_first, m_last);
    if (size < std::numeric_limits<qint64>::max() && m_missingInRow > size)
        m_exhausted = true;
}
