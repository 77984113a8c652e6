#include "support/WebAuthnVerifier.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

namespace quillet::test {

namespace {

QString verifierDir() {
    return QStringLiteral(QUILLET_TEST_SUPPORT_DIR) + QStringLiteral("/webauthn");
}

QJsonObject failure(const QString &message) {
    return {{QStringLiteral("verified"), false}, {QStringLiteral("error"), message}};
}

} // namespace

std::optional<QString> WebAuthnVerifier::unavailableReason() {
    if (QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty())
        return QStringLiteral("node is not installed: the passkey data cannot be checked");
    return std::nullopt;
}

QJsonObject WebAuthnVerifier::verify(const QJsonObject &request) {
    if (!QDir(verifierDir() + QStringLiteral("/node_modules/@simplewebauthn/server")).exists())
        return failure(
            QStringLiteral("the verifier's packages are missing: run "
                           "scripts/install-deps.sh (npm ci in tests/support/webauthn)"));
    QProcess node;
    node.setWorkingDirectory(verifierDir());
    node.start(QStringLiteral("node"), {QStringLiteral("verify.mjs")});
    if (!node.waitForStarted(10000))
        return failure(QStringLiteral("node did not start"));
    node.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    node.closeWriteChannel();
    if (!node.waitForFinished(60000))
        return failure(QStringLiteral("the verifier did not finish"));
    const QJsonDocument answer = QJsonDocument::fromJson(node.readAllStandardOutput());
    if (!answer.isObject())
        return failure(QStringLiteral("the verifier failed: ") +
                       QString::fromUtf8(node.readAllStandardError()));
    return answer.object();
}

QJsonObject WebAuthnVerifier::registration(const QJsonObject &credential, const QString &challenge,
                                           const QString &rpId) {
    return verify({{QStringLiteral("ceremony"), QStringLiteral("registration")},
                   {QStringLiteral("response"), credential},
                   {QStringLiteral("challenge"), challenge},
                   {QStringLiteral("origin"), QStringLiteral("https://") + rpId},
                   {QStringLiteral("rpId"), rpId}});
}

QJsonObject WebAuthnVerifier::authentication(const QJsonObject &credential,
                                             const QString &challenge, const QString &rpId,
                                             const QJsonObject &registered) {
    return verify({{QStringLiteral("ceremony"), QStringLiteral("authentication")},
                   {QStringLiteral("response"), credential},
                   {QStringLiteral("challenge"), challenge},
                   {QStringLiteral("origin"), QStringLiteral("https://") + rpId},
                   {QStringLiteral("rpId"), rpId},
                   {QStringLiteral("credential"), registered}});
}

} // namespace quillet::test
