#include "service/clientaddress.h"

#include <algorithm>

namespace {

// One element of X-Forwarded-For: an address, perhaps in brackets, perhaps with a port.
QHostAddress ParseHop(QByteArray hop)
{
    hop = hop.trimmed();
    QHostAddress address;
    if (address.setAddress(QString::fromLatin1(hop)))
        return address;
    if (hop.startsWith('[')) { // [2001:db8::1] or [2001:db8::1]:443
        const qsizetype end = hop.indexOf(']');
        if (end > 0 && address.setAddress(QString::fromLatin1(hop.sliced(1, end - 1))))
            return address;
    } else if (hop.count(':') == 1) { // 192.0.2.1:443
        if (address.setAddress(QString::fromLatin1(hop.first(hop.indexOf(':')))))
            return address;
    }
    return {};
}

} // namespace

QHostAddress Unmapped(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}

bool InAny(const QHostAddress &address, const QList<Subnet> &subnets)
{
    const QHostAddress plain = Unmapped(address);
    return std::ranges::any_of(subnets,
                               [&](const Subnet &subnet) { return plain.isInSubnet(subnet); });
}

QHostAddress ForwardedClient(const QHostAddress &peer, const QByteArrayList &forwardedFor,
                             const QList<Subnet> &trusted)
{
    QHostAddress client = Unmapped(peer);
    if (!InAny(client, trusted))
        return client;
    // RFC 7230 3.2.2: several fields of one name are one list, in the order they came.
    QByteArrayList hops;
    for (const QByteArray &field : forwardedFor)
        hops += field.split(',');
    for (auto hop = hops.crbegin(); hop != hops.crend(); ++hop) {
        const QHostAddress next = Unmapped(ParseHop(*hop));
        // A trusted proxy wrote something that is no address: it is the last hop we know.
        if (next.isNull())
            break;
        client = next;
        if (!InAny(client, trusted))
            break;
    }
    return client;
}

QByteArray LimitKey(const QHostAddress &client)
{
    const QHostAddress plain = Unmapped(client);
    if (plain.protocol() != QAbstractSocket::IPv6Protocol)
        return plain.toString().toLatin1();
    Q_IPV6ADDR bytes = plain.toIPv6Address();
    std::fill(std::begin(bytes.c) + 8, std::end(bytes.c), 0);
    return QHostAddress(bytes).toString().toLatin1() + "/64";
}
