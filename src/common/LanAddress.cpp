#include "common/LanAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace quillet {

QString LanAddress::first() {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return QStringLiteral("127.0.0.1");
    QString found;
    for (ifaddrs *entry = list; entry && found.isEmpty(); entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET ||
            !(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto *address = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
            found = QString::fromLatin1(text);
    }
    freeifaddrs(list);
    return found.isEmpty() ? QStringLiteral("127.0.0.1") : found;
}

} // namespace quillet
