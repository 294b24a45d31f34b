#include "report/urlencoder.h"

#include <new>

namespace {

bool StaysAsIs(unsigned char b)
{
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

} // namespace

QByteArray UrlEncoder::Encode() const
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    try {
        QByteArray out;
        out.reserve(InputString.size() * 3);
        for (const char c : InputString) {
            const auto b = static_cast<unsigned char>(c);
            if (StaysAsIs(b)) {
                out += c;
            } else if (b == ' ') {
                out += '+';
            } else {
                const char escape[] = {'%', Hex[b >> 4], Hex[b & 0x0F]};
                out.append(escape, 3);
            }
        }
        return out;
    } catch (const std::bad_alloc &e) {
        if (OnError)
            OnError(*this, QStringLiteral("Error during encode"), QString::fromLocal8Bit(e.what()));
        return InputString;
    }
}
