#pragma once

#include "server/EcKey.h"

#include <QDateTime>
#include <QString>
#include <QUrl>
#include <optional>

namespace quillet {

// The server's identity towards push services (RFC 8292): one P-256 key pair, made at first start
// and kept in the database, whose public half every browser subscription is bound to. Losing it
// orphans every subscription, so it is made once and never rotated silently.
class VapidKeys {
public:
    static std::optional<VapidKeys> generate();
    // The stored form: the private scalar, base64url (43 characters); the public key is derived.
    static std::optional<VapidKeys> fromStored(const QString &stored);
    QString toStored() const;

    // The key a browser subscribes with (applicationServerKey): the public point, base64url.
    QString publicKey() const;

    // The Authorization header value for a request to `endpoint`, "vapid t=<JWT>, k=<key>": an
    // ES256 token for the endpoint's origin. `subject` must be a mailto: or https: URL (iOS
    // refuses others); `expiresAt` at most 24 hours ahead, which push services enforce. Empty
    // when the endpoint is not an http(s) URL or signing fails.
    QString authorization(const QUrl &endpoint, const QString &subject,
                          const QDateTime &expiresAt) const;

private:
    explicit VapidKeys(EcKey key) : m_key(std::move(key)) {}
    EcKey m_key;
};

} // namespace quillet
