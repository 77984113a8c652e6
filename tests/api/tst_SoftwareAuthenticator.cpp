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

    void cborStrings() {
        QCOMPARE(CborWriter().text(QStringLiteral("IETF")).data(),
                 QByteArray::fromHex("6449455446"));
        QCOMPARE(CborWriter().bytes(QByteArray::fromHex("01020304")).data(),
                 QByteArray::fromHex("4401020304"));
        QCOMPARE(CborWriter().bytes(QByteArray(24, 'x')).data().left(2),
                 QByteArray::fromHex("5818"));
        QCOMPARE(CborWriter().mapHeader(0).data(), QByteArray::fromHex("a0"));
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

    // The verifier must be able to say no, or the checks above prove nothing.
    void verifierRejectsForeignData_data() {
        QTest::addColumn<QString>("tamper");
        QTest::newRow("other challenge") << "challenge";
        QTest::newRow("other relying party") << "rpId";
        QTest::newRow("altered signature") << "signature";
    }
    void verifierRejectsForeignData() {
        requireVerifier();
        QFETCH(QString, tamper);
        SoftwareAuthenticator authenticator(m_keychain);
        const QJsonObject registered =
            registerVerified(authenticator).value("credential").toObject();
        QVERIFY(!registered.isEmpty()); // a verifier that says no to everything proves nothing
        const QByteArray challenge = randomChallenge();
        AssertionCredential assertion = authenticator.getAssertion(rpId, challenge);
        if (tamper == QLatin1String("signature"))
            assertion.signature[assertion.signature.size() - 1] ^= 0x01;
        const QString expectedChallenge =
            Base64Url::encode(tamper == QLatin1String("challenge") ? randomChallenge() : challenge);
        const QString expectedRp =
            tamper == QLatin1String("rpId") ? QStringLiteral("evil.test") : rpId;
        const QJsonObject answer = WebAuthnVerifier::authentication(
            assertion.toJson(), expectedChallenge, expectedRp, registered);
        QVERIFY(!answer.value("verified").toBool());
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
