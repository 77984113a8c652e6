#pragma once

#include "common/Base64Url.h"

#include <QByteArray>
#include <QJsonObject>

namespace quillet {

// The envelope both passkey ceremonies send to the server around their ceremony-specific response.
inline QJsonObject publicKeyCredentialJson(const QByteArray &credentialId,
                                           const QJsonObject &response) {
    const QString id = Base64Url::encode(credentialId);
    return {
        {QStringLiteral("id"), id},
        {QStringLiteral("rawId"), id},
        {QStringLiteral("type"), QStringLiteral("public-key")},
        {QStringLiteral("authenticatorAttachment"), QStringLiteral("platform")},
        {QStringLiteral("response"), response},
    };
}

} // namespace quillet
