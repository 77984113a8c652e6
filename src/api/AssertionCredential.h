#pragma once

#include "api/PublicKeyCredentialJson.h"
#include "common/Base64Url.h"

#include <QByteArray>
#include <QJsonObject>

namespace quillet {

// What a passkey sign-in yields.
struct AssertionCredential {
    QByteArray credentialId;
    QByteArray clientDataJSON;
    QByteArray authenticatorData;
    QByteArray signature;
    QByteArray userHandle;

    // The credential object the server's sign-in completion takes.
    QJsonObject toJson() const {
        return publicKeyCredentialJson(
            credentialId,
            QJsonObject{
                {QStringLiteral("clientDataJSON"), Base64Url::encode(clientDataJSON)},
                {QStringLiteral("authenticatorData"), Base64Url::encode(authenticatorData)},
                {QStringLiteral("signature"), Base64Url::encode(signature)},
                {QStringLiteral("userHandle"), Base64Url::encode(userHandle)},
            });
    }
};

} // namespace quillet
