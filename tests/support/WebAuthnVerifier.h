#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

namespace quillet::test {

// Drives tests/support/webauthn/verify.mjs, which checks passkey ceremonies with
// @simplewebauthn/server, a verifier we did not write.
class WebAuthnVerifier {
public:
    // Why the verifier cannot run here (no node), or nothing.
    static std::optional<QString> unavailableReason();

    // The verifier's JSON answer (see verify.mjs); one that does not run at all answers
    // {"error": ...}, which is not verified.
    static QJsonObject registration(const QJsonObject &credential, const QString &challenge,
                                    const QString &rpId);
    static QJsonObject authentication(const QJsonObject &credential, const QString &challenge,
                                      const QString &rpId, const QJsonObject &registered);

private:
    static QJsonObject verify(const QJsonObject &request);
};

} // namespace quillet::test
