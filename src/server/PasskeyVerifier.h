#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace quillet {

// Where passkeys are valid: the relying-party id they are bound to and the origins whose pages
// may use them.
struct PasskeyPolicy {
    QString rpId;
    QStringList allowedOrigins;
};

// Checks both passkey ceremonies. Only ES256 (P-256) credentials are accepted, with attestation
// "none" or "packed" self-attestation: the server trusts the account, not the make of the
// authenticator. Every refusal carries a short reason and nothing secret; the caller still
// answers the client with one generic error.
class PasskeyVerifier {
public:
    explicit PasskeyVerifier(PasskeyPolicy policy);

    struct Registration {
        QByteArray credentialId;
        QByteArray publicKey; // COSE key bytes, stored verbatim
        quint32 signCount = 0;
        QString error; // empty on success
    };
    Registration verifyRegistration(const QByteArray &clientDataJson,
                                    const QByteArray &attestationObject,
                                    const QByteArray &expectedChallenge) const;

    struct Assertion {
        quint32 signCount = 0;
        QString error; // empty on success
    };
    // `publicKey` is what registration returned; `storedSignCount` the count last accepted.
    Assertion verifyAssertion(const QByteArray &clientDataJson, const QByteArray &authenticatorData,
                              const QByteArray &signature, const QByteArray &expectedChallenge,
                              const QByteArray &publicKey, quint32 storedSignCount) const;

private:
    QString checkClientData(const QByteArray &clientDataJson, const char *type,
                            const QByteArray &expectedChallenge) const;

    PasskeyPolicy m_policy;
};

} // namespace quillet
