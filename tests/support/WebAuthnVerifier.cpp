#include "support/WebAuthnVerifier.h"

#include "support/NodeScript.h"

#include <QDir>
#include <QStandardPaths>

namespace quillet::test {

std::optional<QString> WebAuthnVerifier::unavailableReason() {
    if (QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty())
        return QStringLiteral("node is not installed: the passkey data cannot be checked");
    return std::nullopt;
}

QJsonObject WebAuthnVerifier::verify(const QJsonObject &request) {
    const QString directory = QStringLiteral(QUILLET_TEST_SUPPORT_DIR "/webauthn");
    if (!QDir(directory + QStringLiteral("/node_modules/@simplewebauthn/server")).exists())
        return {{QStringLiteral("error"),
                 QStringLiteral("the verifier's packages are missing: run scripts/install-deps.sh "
                                "(npm ci in tests/support/webauthn)")}};
    return runNodeScript(directory + QStringLiteral("/verify.mjs"), request);
}

QJsonObject WebAuthnVerifier::registration(const QJsonObject &credential, const QString &challenge,
                                           const QString &rpId) {
    return authentication(credential, challenge, rpId, {});
}

QJsonObject WebAuthnVerifier::authentication(const QJsonObject &credential,
                                             const QString &challenge, const QString &rpId,
                                             const QJsonObject &registered) {
    QJsonObject request{{QStringLiteral("ceremony"), QStringLiteral("authentication")},
                        {QStringLiteral("response"), credential},
                        {QStringLiteral("challenge"), challenge},
                        {QStringLiteral("origin"), QStringLiteral("https://") + rpId},
                        {QStringLiteral("rpId"), rpId},
                        {QStringLiteral("credential"), registered}};
    if (registered.isEmpty())
        request.insert(QStringLiteral("ceremony"), QStringLiteral("registration"));
    return verify(request);
}

} // namespace quillet::test
