#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <cstddef>

using namespace Qt::StringLiterals;

namespace Web {

class Markup;
Markup escape(QStringView text);

// A piece of a page. Only escape() and markup written in the source as a u"" literal make
// one, so text that was never escaped cannot reach a page: it does not compile.
class Markup
{
public:
    Markup() = default;
    // Literal markup: an array of char16_t, as u"<p>" is; never a QString made at run time.
    template<std::size_t N>
    Markup(const char16_t (&literal)[N]) // NOLINT: literals convert on purpose
        : m_text(QString::fromUtf16(literal, qsizetype(N - 1)))
    {
    }

    // %1, %2 ... filled with markup, in one pass, so that a "%2" inside the first value
    // stays as it is.
    template<typename... Args> Markup arg(const Args &...values) const
    {
        return Markup(m_text.arg(values.m_text...));
    }

    Markup &operator+=(const Markup &more)
    {
        m_text += more.m_text;
        return *this;
    }
    friend Markup operator+(Markup left, const Markup &right)
    {
        left += right;
        return left;
    }

    bool isEmpty() const { return m_text.isEmpty(); }
    const QString &text() const { return m_text; }
    QByteArray toUtf8() const { return m_text.toUtf8(); }
    void reserve(qsizetype size) { m_text.reserve(size); }

private:
    explicit Markup(QString text)
        : m_text(std::move(text))
    {
    }
    friend Markup escape(QStringView text);

    QString m_text;
};

// Every value written into a page goes through this: text never becomes markup.
inline Markup escape(QStringView text)
{
    QString out;
    out.reserve(text.size() + 16);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += u"&amp;"_s;
            break;
        case '<':
            out += u"&lt;"_s;
            break;
        case '>':
            out += u"&gt;"_s;
            break;
        case '"':
            out += u"&quot;"_s;
            break;
        case '\'':
            out += u"&#39;"_s;
            break;
        default:
            out += c;
            break;
        }
    }
    return Markup(std::move(out));
}

inline Markup number(qint64 value)
{
    return escape(QString::number(value));
}

} // namespace Web
