#pragma once

#include <QString>

namespace quillet {

// The address a phone on the same network reaches this computer at. The relay derives its public
// URL from it and `quillet up` the URL it shows, so both must use this one rule.
class LanAddress {
public:
    // The first IPv4 address of an interface that is up and not loopback; "127.0.0.1" when the
    // machine has none.
    static QString first();
};

} // namespace quillet
