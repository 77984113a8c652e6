#include "api/AuthenticatorError.h"
#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "api/SoftwareAuthenticator.h"
#include "common/Base64Url.h"
#include "support/TestEnvironment.h"
#include "support/WebAuthnVerifier.h"

#include <QJsonDocument>

using namespace quillet;
using test::WebAuthnVerifier;

namespace {

const QString rpId = QStringLiteral("pair.quillet.test");

QByteArray randomChallenge() {
    QByteArray bytes(32, Qt::Uninitialized);
    for (char &c : bytes)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

class TestSoftwareAuthenticator : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    KeychainService m_keychain{
        std::make_unique<FileCredentialBackend>(m_dir.path() + QStringLiteral("/c.json"))};

private slots:
    void assertionsVerifyWithRisingCounter() {
        if (const auto reason = WebAuthnVerifier::unavailableReason())
            QSKIP(qPrintable(*reason));
        SoftwareAuthenticator authenticator(m_keychain);
        const QByteArray challenge = randomChallenge();
        const QJsonObject answer = WebAuthnVerifier::registration(
            authenticator.makeCredential(rpId, challenge, "alice", "user-handle-1").toJson(),
            Base64Url::encode(challenge), rpId);
        QVERIFY2(answer.value("verified").toBool(), QJsonDocument(answer).toJson().constData());
        QCOMPARE(answer.value("fmt").toString(), QStringLiteral("none"));
        const QJsonObject registered = answer.value("credential").toObject();
        QCOMPARE(registered.value("counter").toInt(-1), 0);
        for (int expectedCounter = 1; expectedCounter <= 2; ++expectedCounter) {
            const QByteArray challenge = randomChallenge();
            const AssertionCredential assertion = authenticator.getAssertion(rpId, challenge);
            const QJsonObject answer = WebAuthnVerifier::authentication(
                assertion.toJson(), Base64Url::encode(challenge), rpId, registered);
            QVERIFY2(answer.value("verified").toBool(),
                     QJsonDocument(answer).toJson(QJsonDocument::Compact).constData());
            QCOMPARE(answer.value("newCounter").toInt(), expectedCounter);
        }
    }

    void newRegistrationReplacesTheCredential() {
        SoftwareAuthenticator authenticator(m_keychain);
        const auto first = authenticator.makeCredential(rpId, randomChallenge(), "a", "h1");
        const auto second = authenticator.makeCredential(rpId, randomChallenge(), "b", "h2");
        QVERIFY(first.credentialId != second.credentialId);
        const auto assertion = authenticator.getAssertion(rpId, randomChallenge());
        QCOMPARE(assertion.credentialId, second.credentialId);
        QCOMPARE(assertion.userHandle, QByteArray("h2"));
        QVERIFY_THROWS_EXCEPTION(AuthenticatorError,
                                 authenticator.getAssertion("unknown.test", randomChallenge()));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestSoftwareAuthenticator)
#include "tst_SoftwareAuthenticator.moc"
