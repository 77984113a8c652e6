#pragma once

#include <QString>

namespace quillet {

struct ServerOptions;

// What the server prints when it starts: where it listens, the address a phone on the LAN
// opens, and that address as a QR code for the phone's camera.
class ServerBanner {
public:
    static QString text(const ServerOptions &options, quint16 port, const QString &database,
                        bool colors);
    // The first IPv4 address of an interface that is up and not loopback; "127.0.0.1" when the
    // machine has none.
    static QString lanAddress();
};

} // namespace quillet
