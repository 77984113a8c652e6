#include "server/VapidKeys.h"

#include "common/Base64Url.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace quillet {

std::optional<VapidKeys> VapidKeys::generate() {
    auto key = EcKey::generate();
    if (!key)
        return std::nullopt;
    return VapidKeys(std::move(*key));
}

std::optional<VapidKeys> VapidKeys::fromStored(const QString &stored) {
    const auto scalar = Base64Url::decode(stored);
    auto key = scalar ? EcKey::fromPrivateScalar(*scalar) : std::nullopt;
    if (!key)
        return std::nullopt;
    return VapidKeys(std::move(*key));
}

QString VapidKeys::toStored() const {
    return Base64Url::encode(m_key.privateScalar());
}

QString VapidKeys::publicKey() const {
    return Base64Url::encode(m_key.publicPoint());
}

QString VapidKeys::authorization(const QUrl &endpoint, const QString &subject,
                                 const QDateTime &expiresAt) const {
    const QString scheme = endpoint.scheme();
    if (!endpoint.isValid() || endpoint.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return {};
    // The audience is the endpoint's origin, serialised as browsers do: no default port.
    QUrl origin = endpoint.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                                    QUrl::RemoveUserInfo);
    if (origin.port() == (scheme == QLatin1String("https") ? 443 : 80))
        origin.setPort(-1);

    const QJsonObject header{{QStringLiteral("typ"), QStringLiteral("JWT")},
                             {QStringLiteral("alg"), QStringLiteral("ES256")}};
    const QJsonObject claims{{QStringLiteral("aud"), origin.toString(QUrl::FullyEncoded)},
                             {QStringLiteral("exp"), expiresAt.toSecsSinceEpoch()},
                             {QStringLiteral("sub"), subject}};
    const QString signingInput =
        Base64Url::encode(QJsonDocument(header).toJson(QJsonDocument::Compact)) + QLatin1Char('.') +
        Base64Url::encode(QJsonDocument(claims).toJson(QJsonDocument::Compact));
    // JWS wants r ‖ s, not the DER that OpenSSL produces.
    const QByteArray signature = EcKey::derToRaw(m_key.sign(signingInput.toLatin1()));
    if (signature.isEmpty())
        return {};
    return QStringLiteral("vapid t=%1.%2, k=%3")
        .arg(signingInput, Base64Url::encode(signature), publicKey());
}

} // namespace quillet
