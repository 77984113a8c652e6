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
};

} // namespace quillet
