#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "common/Base64Url.h"
#include "common/Settings.h"
#include "support/AccountFixture.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/StdoutCapture.h"
#include "support/TestEnvironment.h"
#include "support/WebAuthnVerifier.h"

#include <QJsonArray>
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

} // namespace

class TestAuthViewModel : public QObject, private test::AccountFixture {
    Q_OBJECT
private:
    std::unique_ptr<AuthViewModel> m_model;
    int m_authenticatedCalls = 0;
    int m_keysCreated = 0;
    QString m_challenge;

    // A server that speaks the contract: fresh challenges, tokens, numbered agent keys.
    void serveContract() {
        auto challenge = [this] {
            m_challenge = Base64Url::encode(QUuid::createUuid().toRfc4122());
            return m_challenge;
        };
        m_server->on("POST", QRegularExpression(QRegularExpression::escape(registerOptions)),
                     [challenge](const RecordedRequest &) {
                         return FakeResponse::json(
                             200, QJsonObject{{"challenge", challenge()},
                                              {"user", QJsonObject{{"id", "dXNlci1oYW5kbGU"},
                                                                   {"name", "alice"}}},
                                              {"rp", QJsonObject{{"id", rpId}, {"name", "Q"}}}});
                     });
        m_server->on("POST", QRegularExpression(QRegularExpression::escape(authOptions)),
                     [challenge](const RecordedRequest &) {
                         return FakeResponse::json(
                             200, QJsonObject{{"challenge", challenge()}, {"rpId", rpId}});
                     });
        m_server->on("POST", registerComplete, FakeResponse::json(200, tokens("1")));
        m_server->on("POST", authComplete, FakeResponse::json(200, tokens("2")));
        m_server->on("POST", QRegularExpression(QRegularExpression::escape(apiKeys)),
                     [this](const RecordedRequest &) {
                         ++m_keysCreated;
                         const QString n = QString::number(m_keysCreated);
                         return FakeResponse::json(
                             201,
                             QJsonObject{{"id", "k" + n}, {"label", "l"}, {"key", "secret-" + n}});
                     });
    }

    QJsonObject sentCredential(const QString &path) {
        const auto sent = m_server->requests("POST", path);
        return sent.isEmpty() ? QJsonObject()
                              : sent.last().json().object().value("credential").toObject();
    }

private slots:
    void init() {
        initAccount();
        m_model = std::make_unique<AuthViewModel>(*m_api);
        m_model->setHostName(QStringLiteral("build box"));
        m_authenticatedCalls = 0;
        m_keysCreated = 0;
        m_model->onAuthenticated = [this] { ++m_authenticatedCalls; };
        Settings::remove(Settings::agentApiKey);
        Settings::remove(Settings::agentApiKeyId);
    }
    void cleanup() {
        cleanupAccount();
        m_model.reset();
    }

    void registrationAndSignInVerify() {
        serveContract();
        QSignalSpy loading(m_model.get(), &AuthViewModel::isLoadingChanged);
        awaitTask(m_model->registerAccount("  " + m_server->baseUrl() + " \n", "alice "));
        QCOMPARE(m_model->errorMessage(), std::nullopt);
        QVERIFY(m_model->isAuthenticated());
        QVERIFY(!m_model->isLoading());
        QCOMPARE(loading.size(), 2);
        QCOMPARE(m_authenticatedCalls, 1);
        QCOMPARE(m_model->username(), std::optional(QStringLiteral("alice ")));
        QCOMPARE(Settings::readText(Settings::serverURL), std::optional(m_server->baseUrl()));
        QCOMPARE(m_server->requests("POST", registerOptions).first().json().object(),
                 (QJsonObject{{"username", "alice "}}));
        // The tokens' use is checked against the real relay (tst_RelayEndToEnd).
        QCOMPARE(m_keychain->load(KeychainService::userIdKey),
                 std::optional(QStringLiteral("user-1")));
        // The key is made with the new access token and is in the settings before the callback.
        const RecordedRequest keyRequest = m_server->requests("POST", apiKeys).first();
        QCOMPARE(keyRequest.headers.value("authorization"), QByteArray("Bearer access-1"));
        QCOMPARE(keyRequest.json().object(), (QJsonObject{{"label", "QuilletMac-build box"}}));
        QCOMPARE(Settings::readText(Settings::agentApiKey),
                 std::optional(QStringLiteral("secret-1")));
        QCOMPARE(Settings::readText(Settings::agentApiKeyId), std::optional(QStringLiteral("k1")));

        const QJsonObject registration = sentCredential(registerComplete);
        QCOMPARE(registration.value("authenticatorAttachment").toString(),
                 QStringLiteral("platform"));
        const QString registrationChallenge = m_challenge;

        // A second model on the same store: a later run of the app signing in again.
        AuthViewModel later(*m_api);
        awaitTask(later.signIn(m_server->baseUrl()));
        QCOMPARE(later.errorMessage(), std::nullopt);
        QVERIFY(later.isAuthenticated());
        QCOMPARE(later.username(), std::nullopt);
        QCOMPARE(m_keychain->load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("access-2")));
        QCOMPARE(Settings::readText(Settings::agentApiKeyId), std::optional(QStringLiteral("k2")));
        const QJsonObject assertion = sentCredential(authComplete);
        QCOMPARE(Base64Url::decode(
                     assertion.value("response").toObject().value("userHandle").toString()),
                 std::optional(QByteArray("user-handle")));
        QCOMPARE(assertion.value("id"), registration.value("id"));

        if (const auto reason = WebAuthnVerifier::unavailableReason())
            QSKIP(qPrintable(*reason));
        const QJsonObject registered =
            WebAuthnVerifier::registration(registration, registrationChallenge, rpId);
        QVERIFY2(registered.value("verified").toBool(),
                 QJsonDocument(registered).toJson().constData());
        const QJsonObject signedIn = WebAuthnVerifier::authentication(
            assertion, m_challenge, rpId, registered.value("credential").toObject());
        QVERIFY2(signedIn.value("verified").toBool(), QJsonDocument(signedIn).toJson().constData());
    }

    void failuresShowTheirText_data() {
        QTest::addColumn<QString>("path"); // empty: a blank server address, nothing is sent
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        const QString invalid = QStringLiteral("Received an invalid response from the server.");
        QTest::newRow("user is a string")
            << registerOptions << 200
            << QByteArray(R"({"challenge":"AAEC","user":"u","rp":{"id":"x"}})") << invalid;
        QTest::newRow("challenge outside the alphabet")
            << registerOptions << 200
            << QByteArray(R"({"challenge":"AA*C","user":{"id":"AQ"},"rp":{"id":"x"}})") << invalid;
        QTest::newRow("options not an object")
            << registerOptions << 200 << QByteArray("[1]") << invalid;
        QTest::newRow("rp id missing")
            << registerOptions << 200
            << QByteArray(R"({"challenge":"AAEC","user":{"id":"AQ"},"rp":{}})") << invalid;
        QTest::newRow("challenge is a number")
            << authOptions << 200 << QByteArray(R"({"challenge":1,"rpId":"x"})") << invalid;
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
        QVERIFY(!m_model->isAuthenticated());
        QVERIFY(!m_model->isLoading());
        QCOMPARE(m_authenticatedCalls, 0);
        QCOMPARE(m_server->requests().size(), path.isEmpty() ? 0 : 1);
        QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey),
                 std::optional(QStringLiteral("kept")));
        // A failed flow stores nothing: the server that worked stays.
        QCOMPARE(Settings::readText(Settings::serverURL), std::optional(m_server->baseUrl()));
    }

    void failedProvisioningKeepsTheSignIn() {
        serveContract();
        awaitTask(m_model->registerAccount(m_server->baseUrl(), "alice"));
        QCOMPARE(Settings::readText(Settings::agentApiKeyId), std::optional(QStringLiteral("k1")));
        m_server->on("POST", apiKeys, FakeResponse::raw(500, "no keys today"));
        m_model->setHostName(QString()); // a computer without a name
        test::StdoutCapture capture;
        awaitTask(m_model->signIn(m_server->baseUrl()));
        QCOMPARE(capture.text(),
                 QByteArray("Failed to auto-create API key: HTTP error 500: no keys today\n"));
        QVERIFY(m_model->isAuthenticated());
        QCOMPARE(m_model->errorMessage(), std::nullopt);
        QCOMPARE(m_authenticatedCalls, 2);
        QCOMPARE(Settings::readText(Settings::agentApiKey),
                 std::optional(QStringLiteral("secret-1")));
        QCOMPARE(Settings::readText(Settings::agentApiKeyId), std::optional(QStringLiteral("k1")));

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
        QVERIFY(m_model->isAuthenticated());
        const QString said = m_model->errorMessage().value_or(QString());
        QVERIFY2(said.startsWith(QLatin1String("The agent key for this computer could not be "
                                               "stored")) &&
                     said.endsWith(QLatin1String("; it was revoked on the server.")),
                 qPrintable(said));
        QCOMPARE(m_server->requests("DELETE", "/api/auth/api-keys/k9").size(), 1);
        QCOMPARE(Settings::readText(Settings::agentApiKey),
                 std::optional(QStringLiteral("secret-1")));
    }

    void signOutRevokesTheKeyAndForgetsEverything() {
        serveContract();
        awaitTask(m_model->registerAccount(m_server->baseUrl(), "alice"));
        awaitTask(m_model->signIn(m_server->baseUrl()));
        QCOMPARE(m_server->requests("POST", apiKeys).size(), 2);
        m_server->on(
            "DELETE", QRegularExpression("/api/auth/api-keys/k2"),
            [](const RecordedRequest &request) {
                return FakeResponse::raw(
                    request.headers.value("authorization") == "Bearer access-2" ? 204 : 401, "");
            });

        QSignalSpy revoked(m_model.get(), &AuthViewModel::apiKeyRevocationFinished);
        m_model->signOut();
        QVERIFY(!m_model->isAuthenticated());
        QCOMPARE(m_model->username(), std::nullopt);
        QVERIFY(!Settings::contains(Settings::agentApiKey));
        QVERIFY(!Settings::contains(Settings::agentApiKeyId));
        for (const QString &key : {KeychainService::accessTokenKey,
                                   KeychainService::refreshTokenKey, KeychainService::userIdKey})
            QCOMPARE(m_keychain->load(key), std::nullopt);
        QCOMPARE(Settings::readText(Settings::serverURL), std::optional(m_server->baseUrl()));

        // The deletion of this sign-in's key goes out after the tokens are gone, and still proves
        // who asks: the fake accepts only that key's path with the last access token.
        QTRY_COMPARE(revoked.size(), 1);
        QCOMPARE(revoked.first().first().toBool(), true);
    }

    void revocationRefreshesWithoutStoringTokens() {
        Settings::write(Settings::agentApiKeyId, QStringLiteral("k9"));
        m_keychain->save(QStringLiteral("expired"), KeychainService::accessTokenKey);
        m_keychain->save(QStringLiteral("r9"), KeychainService::refreshTokenKey);
        m_server->on("POST", QStringLiteral("/api/auth/refresh"),
                     FakeResponse::json(
                         200, QJsonObject{{"access_token", "fresh"}, {"refresh_token", "r10"}}));
        m_server->on("DELETE", QRegularExpression("/api/auth/api-keys/k9"),
                     [](const RecordedRequest &request) {
                         return FakeResponse::raw(
                             request.headers.value("authorization") == "Bearer fresh" ? 204 : 401,
                             "");
                     });
        QCOMPARE(awaitTask(m_model->signOutAndWait()), std::nullopt);
        QCOMPARE(m_server->requests("POST", "/api/auth/refresh").first().json().object(),
                 (QJsonObject{{"refresh_token", "r9"}}));
        QCOMPARE(m_server->requests("DELETE", "/api/auth/api-keys/k9").size(), 2);
        QCOMPARE(m_keychain->load(KeychainService::accessTokenKey), std::nullopt);
        QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey), std::nullopt);

        // A server that refuses: the caller hears of it.
        Settings::write(Settings::agentApiKeyId, QStringLiteral("k9"));
        m_server->on("DELETE", QStringLiteral("/api/auth/api-keys/k9"),
                     FakeResponse::raw(500, "down"));
        QCOMPARE(awaitTask(m_model->signOutAndWait()),
                 std::optional(QStringLiteral("HTTP error 500: down")));

        // Without a key id there is nothing to revoke: no request at all.
        m_server->clearRequests();
        Settings::write(Settings::agentApiKey, QStringLiteral("secret"));
        Settings::write(Settings::agentApiKeyId, QString());
        QCOMPARE(awaitTask(m_model->signOutAndWait()), std::nullopt);
        QTest::qWait(50);
        QVERIFY(m_server->requests().isEmpty());
        QVERIFY(!Settings::contains(Settings::agentApiKey));
        QVERIFY(!Settings::contains(Settings::agentApiKeyId));
    }

    void sessionRestore_data() {
        QTest::addColumn<bool>("hasRefreshToken");
        QTest::addColumn<int>("refreshStatus");
        QTest::addColumn<bool>("restored");
        QTest::addColumn<int>("requests");
        QTest::newRow("refresh succeeds") << true << 200 << true << 1;
        QTest::newRow("refresh refused") << true << 401 << false << 1;
        QTest::newRow("no refresh token") << false << 200 << false << 0;
    }
    void sessionRestore() {
        QFETCH(bool, hasRefreshToken);
        QFETCH(int, refreshStatus);
        QFETCH(bool, restored);
        QFETCH(int, requests);
        if (hasRefreshToken)
            m_keychain->save(QStringLiteral("r1"), KeychainService::refreshTokenKey);
        m_server->on("POST", QStringLiteral("/api/auth/refresh"),
                     FakeResponse::json(refreshStatus, QJsonObject{{"access_token", "a"},
                                                                   {"refresh_token", "r2"}}));
        awaitTask(m_model->checkExistingSession());
        QCOMPARE(m_model->isAuthenticated(), restored);
        QCOMPARE(m_authenticatedCalls, restored ? 1 : 0);
        QCOMPARE(m_model->errorMessage(), std::nullopt);
        QCOMPARE(m_server->requests().size(), requests);
        if (hasRefreshToken && !restored)
            QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey),
                     std::optional(QStringLiteral("r1")));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestAuthViewModel)
#include "tst_AuthViewModel.moc"
