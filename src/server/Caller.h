#pragma once

#include <QString>

namespace quillet {

// The three kinds of credential, each good on its own routes only.
enum class CredentialKind { none, agentKey, accessToken, deviceToken };

// Who sent a request, once its credential was checked.
struct Caller {
    CredentialKind kind = CredentialKind::none;
    QString userId;
    // The API key's, access token family's or device's id.
    QString credentialId;
};

} // namespace quillet
