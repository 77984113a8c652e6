#pragma once

#include <QStringList>
#include <QUrl>

namespace quillet {

// The push services the server will POST to. A subscription's endpoint is a URL that a phone
// chose, so without this list the server would forward requests wherever a paired device asks
// (into the operator's own network, say). An entry is a host, or "*.name" for any host below
// name (not name itself).
class PushHostList {
public:
    explicit PushHostList(QStringList patterns) : m_patterns(std::move(patterns)) {}

    // Whether `endpoint` is an https URL without user info on a listed host.
    bool allows(const QUrl &endpoint) const;
    const QStringList &patterns() const { return m_patterns; }

private:
    QStringList m_patterns;
};

} // namespace quillet
