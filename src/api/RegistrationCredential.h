#pragma once

#include "api/PublicKeyCredentialJson.h"
#include "common/Base64Url.h"

#include <QByteArray>
#include <QJsonObject>

namespace quillet {

// What a passkey registration yields.
struct RegistrationCredential {
    QByteArray credentialId;
    QByteArray clientDataJSON;
    QByteArray attestationObject;

    // The credential object the server's registration completion takes.
    QJsonObject toJson() const {
        return publicKeyCredentialJson(
            credentialId,
            QJsonObject{
                {QStringLiteral("clientDataJSON"), Base64Url::encode(clientDataJSON)},
                {QStringLiteral("attestationObject"), Base64Url::encode(attestationObject)},
            });
    }
};

} // namespace quillet
