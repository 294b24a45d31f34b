#pragma once

#include <QString>
#include <QStringView>

using namespace Qt::StringLiterals;

namespace Html {

// Every value written into a page goes through this: text never becomes markup.
inline QString escape(QStringView text)
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
    return out;
}

} // namespace Html
