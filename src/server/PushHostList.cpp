#include "server/PushHostList.h"

namespace quillet {

bool PushHostList::allows(const QUrl &endpoint) const {
    if (!endpoint.isValid() || endpoint.scheme() != QLatin1String("https") ||
        !endpoint.userInfo().isEmpty())
        return false;
    // QUrl gives the host in lower case, with a trailing dot kept: "fcm.googleapis.com." is
    // another name as far as this list goes.
    const QString host = endpoint.host(QUrl::FullyEncoded);
    if (host.isEmpty())
        return false;
    for (const QString &pattern : m_patterns) {
        if (pattern.startsWith(QLatin1String("*."))) {
            const QStringView suffix = QStringView(pattern).mid(1);
            if (host.size() > suffix.size() && host.endsWith(suffix, Qt::CaseInsensitive))
                return true;
        } else if (host.compare(pattern, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace quillet
