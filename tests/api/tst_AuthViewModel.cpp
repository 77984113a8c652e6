#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "api/SoftwareAuthenticator.h"
#include "common/Base64Url.h"
#include "common/Settings.h"
#include "support/AccountFixture.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/TestEnvironment.h"
#include "support/WebAuthnVerifier.h"

#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>

using namespace quillet;
using test::awaitTask;
using test::FakeResponse;
using test::FakeServer;
using test::RecordedRequest;
using test::WebAuthnVerifier;

namespace {

const QString rpId = QStringLiteral("quillet.test");
const QString registerOptions = QStringLiteral("/api/auth/passkey/register/options");
const QString registerComplete = QStringLiteral("/api/auth/passkey/register/complete");
const QString authOptions = QStringLiteral("/api/auth/passkey/authenticate/options");
const QString authComplete = QStringLiteral("/api/auth/passkey/authenticate/complete");
const QString apiKeys = QStringLiteral("/api/auth/api-keys");

QJsonObject tokens(const QString &suffix) {
    return {{"access_token", "access-" + suffix},
            {"refresh_token", "refresh-" + suffix},
            {"user_id", "user-1"}};
}

QByteArray randomChallenge() {
    return QUuid::createUuid().toRfc4122() + QUuid::createUuid().toRfc4122();
}

} // namespace

// The sign-in flows, and the software passkey they use, checked by an independent verifier.
class TestAuthViewModel : public QObject, private test::AccountFixture {
    Q_OBJECT
private:
    std::unique_ptr<AuthViewModel> m_model;
    int m_authenticatedCalls = 0;

    // A server that speaks the contract: options, tokens, numbered agent keys.
    void serveContract() {
        m_server->on("POST", registerOptions,
                     FakeResponse::json(200, QJsonObject{{"challenge", "AAEC"},
                                                         {"user", QJsonObject{{"id", "dXNlcg"}}},
                                                         {"rp", QJsonObject{{"id", rpId}}}}));
        m_server->on("POST", authOptions,
                     FakeResponse::json(200, QJsonObject{{"challenge", "AQID"}, {"rpId", rpId}}));
        m_server->on("POST", registerComplete, FakeResponse::json(200, tokens("1")));
        m_server->on("POST", authComplete, FakeResponse::json(200, tokens("2")));
        m_server->on("POST", QRegularExpression(apiKeys), [this](const RecordedRequest &) {
            const QString n = QString::number(m_server->requests("POST", apiKeys).size());
            return FakeResponse::json(
                201, QJsonObject{{"id", "k" + n}, {"label", "l"}, {"key", "secret-" + n}});
        });
    }

private slots:
    void init() {
        initAccount();
        m_model = std::make_unique<AuthViewModel>(*m_api);
        m_authenticatedCalls = 0;
        m_model->onAuthenticated = [this] { ++m_authenticatedCalls; };
        Settings::remove(Settings::agentApiKey);
        Settings::remove(Settings::agentApiKeyId);
    }
    void cleanup() {
        cleanupAccount();
        m_model.reset();
    }

    // The passkeys and the tokens' use are checked by the independent verifier (below) and the
    // real relay (tst_RelayContract, tst_RelayEndToEnd); here, what the flows store, send and
    // tell, and that a key that cannot be made or kept leaves the sign-in and the old key.
    void registrationThenSignIn() {
        serveContract();
        std::optional<QString> keyAtCallback;
        m_model->onAuthenticated = [&] {
            keyAtCallback = Settings::readText(Settings::agentApiKey);
        };
        awaitTask(m_model->registerAccount("  " + m_server->baseUrl() + " \n", "alice "));
        QCOMPARE(m_model->errorMessage(), std::nullopt);
        QVERIFY(m_model->isAuthenticated() && !m_model->isLoading());
        QCOMPARE(Settings::readText(Settings::serverURL), std::optional(m_server->baseUrl()));
        QCOMPARE(m_server->requests("POST", registerOptions).first().json().object(),
                 (QJsonObject{{"username", "alice "}}));
        // The key is stored before the engine is told.
        QCOMPARE(keyAtCallback, std::optional(QStringLiteral("secret-1")));

        awaitTask(m_model->signIn(m_server->baseUrl()));
        QCOMPARE(Settings::readText(Settings::agentApiKeyId), std::optional(QStringLiteral("k2")));
        m_server->on("POST", apiKeys, FakeResponse::raw(500, "no keys today"));
        awaitTask(m_model->signIn(m_server->baseUrl()));
        QVERIFY(m_model->isAuthenticated());
        QCOMPARE(Settings::readText(Settings::agentApiKeyId), std::optional(QStringLiteral("k2")));

        // Created, but the settings cannot take it: revoked at once, and said.
        bool frozen = false;
        const auto freeze = [](bool on) {
            return QProcess::execute(QStringLiteral("chattr"),
                                     {on ? QStringLiteral("+i") : QStringLiteral("-i"),
                                      Settings::filePath()}) == 0;
        };
        m_server->on("POST", QRegularExpression(apiKeys), [&](const RecordedRequest &) {
            frozen = freeze(true);
            return FakeResponse::json(
                201, QJsonObject{{"id", "k9"}, {"label", "l"}, {"key", "secret-9"}});
        });
        m_server->on("DELETE", QStringLiteral("/api/auth/api-keys/k9"), FakeResponse::raw(204, {}));
        awaitTask(m_model->signIn(m_server->baseUrl()));
        if (!frozen)
            QSKIP("cannot make the settings file unwritable here (chattr refused)");
        QVERIFY(freeze(false));
        QVERIFY(m_model->isAuthenticated() && m_model->errorMessage());
        QCOMPARE(m_server->requests("DELETE", "/api/auth/api-keys/k9").size(), 1);
        QCOMPARE(Settings::readText(Settings::agentApiKey),
                 std::optional(QStringLiteral("secret-2")));
    }

    void failuresShowTheirText_data() {
        QTest::addColumn<QString>("path"); // empty: a blank server address, nothing is sent
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        const QString invalid = QStringLiteral("Received an invalid response from the server.");
        QTest::newRow("challenge outside the alphabet")
            << registerOptions << 200
            << QByteArray(R"({"challenge":"AA*C","user":{"id":"AQ"},"rp":{"id":"x"}})") << invalid;
        QTest::newRow("options not an object")
            << registerOptions << 200 << QByteArray("[1]") << invalid;
        QTest::newRow("blank server URL")
            << QString() << 0 << QByteArray() << "Server URL is not configured.";
        QTest::newRow("options 500")
            << authOptions << 500 << QByteArray("boom") << "HTTP error 500: boom";
    }
    void failuresShowTheirText() {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        m_server->on("POST", path, FakeResponse::raw(status, body));
        m_keychain->save(QStringLiteral("kept"), KeychainService::refreshTokenKey);
        if (path == registerOptions)
            awaitTask(m_model->registerAccount(m_server->baseUrl(), "alice"));
        else
            awaitTask(
                m_model->signIn(path.isEmpty() ? QStringLiteral("  \t ") : m_server->baseUrl()));
        QCOMPARE(m_model->errorMessage(), std::optional(message));
        QVERIFY(!m_model->isAuthenticated() && !m_model->isLoading());
        QCOMPARE(m_authenticatedCalls, 0);
        QCOMPARE(m_server->requests().size(), path.isEmpty() ? 0 : 1);
        QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey),
                 std::optional(QStringLiteral("kept")));
        // A failed flow stores nothing: the server that worked stays.
        QCOMPARE(Settings::readText(Settings::serverURL), std::optional(m_server->baseUrl()));
    }

    void signOutForgetsEverythingAndRevokesTheKey() {
        Settings::write(Settings::agentApiKey, QStringLiteral("secret"));
        Settings::write(Settings::agentApiKeyId, QStringLiteral("k9"));
        m_keychain->save(QStringLiteral("expired"), KeychainService::accessTokenKey);
        m_keychain->save(QStringLiteral("r9"), KeychainService::refreshTokenKey);
        m_keychain->save(QStringLiteral("user-1"), KeychainService::userIdKey);
        m_server->on("POST", QStringLiteral("/api/auth/refresh"),
                     FakeResponse::json(
                         200, QJsonObject{{"access_token", "fresh"}, {"refresh_token", "r10"}}));
        m_server->on("DELETE", QRegularExpression("/api/auth/api-keys/k9"),
                     [](const RecordedRequest &request) {
                         return FakeResponse::raw(
                             request.headers.value("authorization") == "Bearer fresh" ? 204 : 401,
                             "");
                     });
        QSignalSpy revoked(m_model.get(), &AuthViewModel::apiKeyRevocationFinished);
        m_model->signOut();
        QVERIFY(!Settings::contains(Settings::agentApiKey));
        QVERIFY(!Settings::contains(Settings::agentApiKeyId));
        for (const QString &key : {KeychainService::accessTokenKey,
                                   KeychainService::refreshTokenKey, KeychainService::userIdKey})
            QCOMPARE(m_keychain->load(key), std::nullopt);
        QCOMPARE(Settings::readText(Settings::serverURL), std::optional(m_server->baseUrl()));
        // The revocation goes out after the tokens are gone, still proving who asks: the expired
        // token is refused, the refresh made with the stored one, and nothing of it kept.
        QTRY_COMPARE(revoked.size(), 1);
        QCOMPARE(revoked.first().first().toBool(), true);
        QCOMPARE(m_server->requests("POST", "/api/auth/refresh").first().json().object(),
                 (QJsonObject{{"refresh_token", "r9"}}));
        QCOMPARE(m_server->requests("DELETE", "/api/auth/api-keys/k9").size(), 2);
        QCOMPARE(m_keychain->load(KeychainService::accessTokenKey), std::nullopt);

        // A server that refuses: the caller hears of it.
        Settings::write(Settings::agentApiKeyId, QStringLiteral("k9"));
        m_server->on("DELETE", QStringLiteral("/api/auth/api-keys/k9"),
                     FakeResponse::raw(500, "down"));
        QCOMPARE(awaitTask(m_model->signOutAndWait()),
                 std::optional(QStringLiteral("HTTP error 500: down")));
    }

    // A refused refresh at start leaves the user signed out, the tokens kept for a later try. (A
    // restore that works signs in every other test's account.)
    void refusedRestoreStaysSignedOut() {
        m_keychain->save(QStringLiteral("r1"), KeychainService::refreshTokenKey);
        m_server->on("POST", QStringLiteral("/api/auth/refresh"), FakeResponse::raw(401, {}));
        awaitTask(m_model->checkExistingSession());
        QVERIFY(!m_model->isAuthenticated() && m_authenticatedCalls == 0);
        QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey),
                 std::optional(QStringLiteral("r1")));
    }

    void assertionsVerifyWithRisingCounter() {
        if (const auto reason = WebAuthnVerifier::unavailableReason())
            QSKIP(qPrintable(*reason));
        SoftwareAuthenticator authenticator(*m_keychain);
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
        // A new registration replaces the credential.
        const auto second = authenticator.makeCredential(rpId, randomChallenge(), "b", "h2");
        const auto assertion = authenticator.getAssertion(rpId, randomChallenge());
        QVERIFY(assertion.credentialId == second.credentialId && assertion.userHandle == "h2");
    }
};

QUILLET_TEST_GUILESS_MAIN(TestAuthViewModel)
#include "tst_AuthViewModel.moc"
