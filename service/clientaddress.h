#pragma once

#include <QByteArrayList>
#include <QHostAddress>
#include <QList>

// Who a request comes from. Behind a reverse proxy every peer is the proxy; the client is
// then the address the proxies recorded in X-Forwarded-For, believed only as far as the hops
// that added them are trusted.
using Subnet = QPair<QHostAddress, int>;

// An IPv4-mapped IPv6 address as the IPv4 address it is; any other as it is.
QHostAddress Unmapped(const QHostAddress &address);

bool InAny(const QHostAddress &address, const QList<Subnet> &subnets);

// The client of a request that `peer` delivered with these X-Forwarded-For field values (in
// the order they came): read from the right past the trusted hops, and only when the peer is
// itself trusted. A forged address to the left of the first untrusted hop is never reached.
QHostAddress ForwardedClient(const QHostAddress &peer, const QByteArrayList &forwardedFor,
                             const QList<Subnet> &trusted);

// What the per-client limits count by: an IPv4 address, or the /64 an IPv6 address lies in,
// since one subscriber is routinely given a whole /64 to pick addresses from.
QByteArray LimitKey(const QHostAddress &client);
