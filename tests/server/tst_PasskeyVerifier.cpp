#include "common/Base64Url.h"
#include "server/PasskeyVerifier.h"
#include "server/Secrets.h"
#include "support/NodeAuthenticator.h"
#include "support/WebAuthnVerifier.h"

#include <QCborMap>
#include <QCborValue>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

using namespace quillet;

namespace {

const QString rpId = QStringLiteral("quillet.test");
const QString origin = QStringLiteral("https://quillet.test");

const auto independentCeremony = test::nodeAuthenticatorCeremony;

QByteArray bytes(const QJsonObject &object, const QString &member) {
    return Base64Url::decode(object.value(member).toString()).value_or(QByteArray());
}

QByteArray flipped(QByteArray data, qsizetype index) {
    data[index] = static_cast<char>(data[index] ^ 0x01);
    return data;
}

// Success is an empty error; a refusal must name its reason.
void checkOutcome(const QString &error, const QString &expected) {
    if (expected.isEmpty())
        QVERIFY2(error.isEmpty(), qPrintable(error));
    else
        QVERIFY2(error.contains(expected), qPrintable(QStringLiteral("got: ") + error));
}

} // namespace

class TestPasskeyVerifier : public QObject {
    Q_OBJECT
private:
    PasskeyVerifier m_verifier{
        PasskeyPolicy{rpId, {QStringLiteral("http://localhost:8470"), origin}}};

private slots:
    void independentAuthenticator_data() {
        // Which ceremony is under test, what the authenticator is asked to do differently, what
        // is altered in transit ("challenge": the server expected another one), the sign count
        // the server had stored, and the reason for refusal (empty: accepted).
        QTest::addColumn<QString>("ceremony");
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<int>("storedCount");
        QTest::addColumn<QString>("error");
        const QString create = QStringLiteral("create"), get = QStringLiteral("get");
        const auto change = [](const char *key, const QJsonValue &value) {
            return QJsonObject{{QLatin1String(key), value}};
        };
        const QJsonObject none;
        const QJsonObject otherOrigin =
            change("origin", QStringLiteral("https://quillet.test.evil"));
        const QJsonObject otherRp = change("rpId", QStringLiteral("evil.test"));
        const QJsonObject absent = change("userPresent", false);

        QTest::newRow("registration") << create << none << "" << 0 << "";
        QTest::newRow("packed self-attestation")
            << create << change("attestation", QStringLiteral("packed")) << "" << 0 << "";
        QTest::newRow("sign-in") << get << change("signCount", 5) << "" << 4 << "";
        QTest::newRow("sign-in without counter") << get << none << "" << 0 << "";

        QTest::newRow("registration: other challenge")
            << create << none << "challenge" << 0 << "challenge does not match";
        QTest::newRow("registration: other origin") << create << otherOrigin << "" << 0 << "origin";
        QTest::newRow("registration: other rp id") << create << otherRp << "" << 0 << "rp id hash";
        QTest::newRow("registration: wrong type")
            << create << change("type", QStringLiteral("webauthn.get")) << "" << 0 << "type";
        QTest::newRow("registration: user absent") << create << absent << "" << 0 << "presence";
        QTest::newRow("registration: key not on P-256")
            << create << change("offCurve", true) << "" << 0 << "not a point on P-256";
        QTest::newRow("packed: altered authenticator data")
            << create << change("attestation", QStringLiteral("packed")) << "authData" << 0
            << "self-attestation signature is invalid";

        // A sign-in's other challenge, origin, rp id, altered signature and falling count are
        // refused through the relay itself (tst_RelayApi, passkeySignIn).
        QTest::newRow("sign-in: wrong type")
            << get << change("type", QStringLiteral("webauthn.create")) << "" << 0 << "type";
        QTest::newRow("sign-in: user absent") << get << absent << "" << 0 << "presence";
        QTest::newRow("sign-in: altered authenticator data")
            << get << none << "authData" << 0 << "signature is invalid";
        QTest::newRow("sign-in: equal count")
            << get << change("signCount", 5) << "" << 5 << "sign count";
        QTest::newRow("sign-in: counter gone") << get << none << "" << 5 << "sign count";
    }
    void independentAuthenticator() {
        QFETCH(QString, ceremony);
        QFETCH(QJsonObject, changes);
        QFETCH(QString, tamper);
        QFETCH(int, storedCount);
        QFETCH(QString, error);
        if (const auto reason = test::WebAuthnVerifier::unavailableReason())
            QSKIP(qPrintable(*reason));
        const bool registering = ceremony == QLatin1String("create");
        const auto withChanges = [&changes](QJsonObject request) {
            for (auto it = changes.begin(); it != changes.end(); ++it)
                request.insert(it.key(), it.value());
            return request;
        };
        const auto expected = [&tamper](const QByteArray &challenge) {
            return tamper == QLatin1String("challenge") ? Secrets::randomBytes(32) : challenge;
        };

        const QByteArray challenge = Secrets::randomBytes(32);
        QJsonObject request{{QStringLiteral("ceremony"), QStringLiteral("create")},
                            {QStringLiteral("rpId"), rpId},
                            {QStringLiteral("origin"), origin},
                            {QStringLiteral("challenge"), Base64Url::encode(challenge)}};
        const QJsonObject made = independentCeremony(registering ? withChanges(request) : request);
        QByteArray attestation = bytes(made, QStringLiteral("attestationObject"));
        if (tamper ==
            QLatin1String("authData")) { // its sign count, under the attestation signature
            QCborMap object = QCborValue::fromCbor(attestation).toMap();
            const QString key = QStringLiteral("authData");
            object.insert(key, flipped(object.value(key).toByteArray(), 36));
            attestation = QCborValue(object).toCbor();
        }
        const auto registration = m_verifier.verifyRegistration(
            bytes(made, QStringLiteral("clientDataJSON")), attestation,
            registering ? expected(challenge) : challenge);
        if (registering) {
            checkOutcome(registration.error, error);
            if (error.isEmpty())
                QCOMPARE(registration.credentialId, bytes(made, QStringLiteral("credentialId")));
            return;
        }
        QVERIFY2(registration.error.isEmpty(), qPrintable(registration.error));

        const QByteArray signInChallenge = Secrets::randomBytes(32);
        request.insert(QStringLiteral("ceremony"), QStringLiteral("get"));
        request.insert(QStringLiteral("challenge"), Base64Url::encode(signInChallenge));
        request.insert(QStringLiteral("privateKey"), made.value(QStringLiteral("privateKey")));
        const QJsonObject asserted = independentCeremony(withChanges(request));
        QByteArray authenticatorData = bytes(asserted, QStringLiteral("authenticatorData"));
        if (tamper == QLatin1String("authData"))
            authenticatorData = flipped(authenticatorData, 36);
        const auto assertion = m_verifier.verifyAssertion(
            bytes(asserted, QStringLiteral("clientDataJSON")), authenticatorData,
            bytes(asserted, QStringLiteral("signature")), expected(signInChallenge),
            registration.publicKey, static_cast<quint32>(storedCount));
        checkOutcome(assertion.error, error);
        if (error.isEmpty())
            QCOMPARE(assertion.signCount, changes.value(QStringLiteral("signCount")).toInt());
    }
};

QTEST_GUILESS_MAIN(TestPasskeyVerifier)
#include "tst_PasskeyVerifier.moc"
