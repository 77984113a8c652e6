#include "api/AuthenticatorError.h"
#include "api/CborWriter.h"
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

    void requireVerifier() {
        if (const auto reason = WebAuthnVerifier::unavailableReason())
            QSKIP(qPrintable(*reason));
    }

    // Registers and answers what the verifier recorded of the credential.
    QJsonObject registerVerified(SoftwareAuthenticator &authenticator) {
        const QByteArray challenge = randomChallenge();
        const RegistrationCredential credential = authenticator.makeCredential(
            rpId, challenge, QStringLiteral("alice"), QByteArray("user-handle-1"));
        const QJsonObject answer =
            WebAuthnVerifier::registration(credential.toJson(), Base64Url::encode(challenge), rpId);
        if (!answer.value(QStringLiteral("verified")).toBool())
            qWarning("registration rejected: %s",
                     QJsonDocument(answer).toJson(QJsonDocument::Compact).constData());
        return answer;
    }

private slots:
    void cborWriter_data() {
        // Vectors of RFC 8949, appendix A.
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("23") << qint64(23) << QByteArray::fromHex("17");
        QTest::newRow("24") << qint64(24) << QByteArray::fromHex("1818");
        QTest::newRow("1000000") << qint64(1000000) << QByteArray::fromHex("1a000f4240");
        QTest::newRow("2^32") << qint64(4294967296) << QByteArray::fromHex("1b0000000100000000");
        QTest::newRow("-7") << qint64(-7) << QByteArray::fromHex("26");
        QTest::newRow("-1000") << qint64(-1000) << QByteArray::fromHex("3903e7");
    }
    void cborWriter() {
        QFETCH(qint64, value);
        QFETCH(QByteArray, encoded);
        QCOMPARE(CborWriter().integer(value).data(), encoded);
    }

    void assertionsVerifyWithRisingCounter() {
        requireVerifier();
        SoftwareAuthenticator authenticator(m_keychain);
        const QJsonObject answer = registerVerified(authenticator);
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
        QVERIFY(m_keychain.load(SoftwareAuthenticator::storageKey(rpId)).has_value());
        QVERIFY_THROWS_EXCEPTION(AuthenticatorError,
                                 authenticator.getAssertion("unknown.test", randomChallenge()));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestSoftwareAuthenticator)
#include "tst_SoftwareAuthenticator.moc"
