#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace quillet::test {

// One ceremony of tests/support/authenticator, an authenticator on Node's own crypto: passkeys
// made by code we did not write for the server.
inline QJsonObject nodeAuthenticatorCeremony(const QJsonObject &request) {
    QProcess node;
    node.start(QStringLiteral("node"),
               {QStringLiteral(QUILLET_TEST_SUPPORT_DIR "/authenticator/authenticator.mjs")});
    node.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    node.closeWriteChannel();
    if (!node.waitForFinished(60000) || node.exitCode() != 0)
        qWarning("authenticator failed: %s", node.readAllStandardError().constData());
    return QJsonDocument::fromJson(node.readAllStandardOutput()).object();
}

} // namespace quillet::test
