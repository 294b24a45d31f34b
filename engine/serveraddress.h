#pragma once

#include <QString>

#include <optional>

// Where a run connects, from what the user typed into the address field:
//   news.example.com, 192.0.2.7            plain NNTP on port 119
//   news.example.com:8119, [2001:db8::7]:119, 2001:db8::7
//   nntp://host[:port], news://host[:port]  plain
//   nntps://host[:port], snews://host[:port] TLS from the first byte (RFC 8143), port 563
// Port 563 without a scheme means TLS too, since nothing else listens there; with nntp:// or
// news:// it is refused. Full-width ASCII is read as ASCII; blanks, control characters and
// IPv6 zone IDs are refused.
struct ServerAddress
{
    static constexpr quint16 NntpPort = 119;
    static constexpr quint16 NntpsPort = 563;
    // The whole text, in UTF-8 bytes: what a report may carry as the server's address.
    static constexpr int MaxBytes = 255;

    QString host; // a name or a literal address, IPv6 without its brackets
    quint16 port = NntpPort;
    bool tls = false;
};

// The address, or nothing with `reason` set to a short text for the user.
std::optional<ServerAddress> ParseServerAddress(const QString &text, QString *reason = nullptr);
