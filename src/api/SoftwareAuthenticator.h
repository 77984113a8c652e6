#pragma once

#include "api/AssertionCredential.h"
#include "api/RegistrationCredential.h"

#include <QString>

namespace quillet {

class KeychainService;

// A passkey authenticator in software for desktops without a platform one: an ES256 (P-256)
// key pair per relying party, kept in the credential store, producing standard WebAuthn client
// data, "none" attestation objects and assertions. It always reports user presence and
// verification: signing in to Quillet on this computer is the user's own act.
class SoftwareAuthenticator {
public:
    explicit SoftwareAuthenticator(KeychainService &keychain);

    // Creates a new credential for `rpId`, replacing the one stored before. Throws
    // AuthenticatorError when the key cannot be made or stored.
    RegistrationCredential makeCredential(const QString &rpId, const QByteArray &challenge,
                                          const QString &userName, const QByteArray &userHandle);
    // Signs in with the stored credential of `rpId`; without one the error's text contains
    // "No credentials available". Every assertion raises the stored sign count.
    AssertionCredential getAssertion(const QString &rpId, const QByteArray &challenge);

    // The credential store item that holds the credential of `rpId`.
    static QString storageKey(const QString &rpId);
    static QString origin(const QString &rpId) { return QStringLiteral("https://") + rpId; }

private:
    KeychainService &m_keychain;
};

} // namespace quillet
