#include "api/APIError.h"
#include "api/APIService.h"
#include "api/DecodingError.h"
#include "api/KeychainService.h"
#include "common/Settings.h"
#include "support/AccountFixture.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>

using namespace quillet;
using test::awaitTask;
using test::FakeResponse;
using test::FakeServer;
using test::RecordedRequest;

namespace {

// Three device requests started together, so that their 401s meet one refresh.
QCoro::Task<QStringList> threeAtOnce(APIService *api) {
    auto first = api->pairedDevices();
    auto second = api->pairedDevices();
    auto third = api->pairedDevices();
    QStringList outcomes;
    for (auto *task : {&first, &second, &third}) {
        try {
            co_await std::move(*task);
            outcomes << QStringLiteral("ok");
        } catch (const std::exception &error) {
            outcomes << QString::fromUtf8(error.what());
        }
    }
    co_return outcomes;
}

const QString devicesPath = QStringLiteral("/api/paired-devices");
const QString refreshPath = QStringLiteral("/api/auth/refresh");

} // namespace

class TestAPIService : public QObject, private test::AccountFixture {
    Q_OBJECT
private:
    // Answers 200 with an empty list to the new access token and 401 to any other.
    void devicesNeedToken(const QByteArray &token) {
        m_server->on("GET", QRegularExpression(QRegularExpression::escape(devicesPath)),
                     [token](const RecordedRequest &request) {
                         return request.headers.value("authorization") == "Bearer " + token
                                    ? FakeResponse::json(200, QJsonArray())
                                    : FakeResponse::raw(401, "expired");
                     });
    }

private slots:
    void init() {
        initAccount();
        m_api->setTimeout(std::chrono::milliseconds(3000));
    }
    void cleanup() { cleanupAccount(); }

    // The pairing code's answer stands for every decoded answer: strict types, either key style.
    void answers_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome"); // "ok", "decoding" or the error text
        QTest::newRow("snake case")
            << 200 << QByteArray(R"({"code":"A","expires_in":300})") << "ok";
        QTest::newRow("camel case")
            << 200 << QByteArray(R"({"code":"A","expiresIn":300,"x":1})") << "ok";
        QTest::newRow("200 not JSON") << 200 << QByteArray("<html>") << "decoding";
        QTest::newRow("member missing") << 200 << QByteArray(R"({"code":"A"})") << "decoding";
        QTest::newRow("string instead of number")
            << 200 << QByteArray(R"({"code":"A","expires_in":"300"})") << "decoding";
        QTest::newRow("number instead of string")
            << 200 << QByteArray(R"({"code":7,"expires_in":1})") << "decoding";
        QTest::newRow("server error with text")
            << 500 << QByteArray("boom") << "HTTP error 500: boom";
    }
    void answers() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);
        m_server->on("POST", QStringLiteral("/api/pair/initiate"), FakeResponse::raw(status, body));
        try {
            const PairInitiateResponse answer = awaitTask(m_api->initiatePairing());
            QCOMPARE(QStringLiteral("ok"), outcome);
            QCOMPARE(answer.code, QStringLiteral("A"));
            QCOMPARE(answer.expiresIn, 300);
        } catch (const DecodingError &) {
            QCOMPARE(QStringLiteral("decoding"), outcome);
        } catch (const APIError &error) {
            QCOMPARE(error.description(), outcome);
            QCOMPARE(error.statusCode(), status);
        }
    }

    void concurrent401sShareOneRefresh_data() {
        QTest::addColumn<int>("refreshStatus");
        QTest::addColumn<bool>("hasRefreshToken");
        QTest::addColumn<QByteArray>("accepted"); // the access token the devices list takes
        QTest::newRow("refreshed") << 200 << true << QByteArray("new");
        // Each call retries once: a second 401 ends it instead of refreshing on and on.
        QTest::newRow("refreshed, still refused") << 200 << true << QByteArray("never");
        QTest::newRow("refresh answered 401") << 401 << true << QByteArray("new");
        QTest::newRow("no refresh token") << 200 << false << QByteArray("new");
    }
    void concurrent401sShareOneRefresh() {
        QFETCH(int, refreshStatus);
        QFETCH(bool, hasRefreshToken);
        QFETCH(QByteArray, accepted);
        m_keychain->save(QStringLiteral("old"), KeychainService::accessTokenKey);
        if (hasRefreshToken)
            m_keychain->save(QStringLiteral("r1"), KeychainService::refreshTokenKey);
        devicesNeedToken(accepted);
        FakeResponse refresh =
            FakeResponse::raw(refreshStatus, R"({"access_token":"new","refresh_token":"r2"})");
        refresh.delayMs = 800; // long enough for all three 401s to meet it
        m_server->on("POST", refreshPath, refresh);

        const bool ok = refreshStatus == 200 && hasRefreshToken;
        const QString outcome = !ok                 ? APIError::tokenRefreshFailed().description()
                                : accepted == "new" ? QStringLiteral("ok")
                                                    : APIError::unauthorized().description();
        QCOMPARE(awaitTask(threeAtOnce(m_api.get())), QStringList({outcome, outcome, outcome}));
        const auto refreshes = m_server->requests("POST", refreshPath);
        QCOMPARE(refreshes.size(), hasRefreshToken ? 1 : 0);
        QCOMPARE(m_server->requests("GET", devicesPath).size(), ok ? 6 : 3);
        // A failure leaves the stored tokens alone; signing out is the caller's decision.
        QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey),
                 ok                ? std::optional(QStringLiteral("r2"))
                 : hasRefreshToken ? std::optional(QStringLiteral("r1"))
                                   : std::nullopt);
        if (!ok || accepted != "new")
            return;
        QCOMPARE(refreshes.first().json().object(), (QJsonObject{{"refresh_token", "r1"}}));
        QVERIFY(!refreshes.first().headers.contains("authorization"));
        QCOMPARE(m_keychain->load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("new")));
        // The flight is over: a later 401 starts a refresh of its own.
        m_keychain->save(QStringLiteral("stale"), KeychainService::accessTokenKey);
        awaitTask(m_api->pairedDevices());
        QCOMPARE(m_server->requests("POST", refreshPath).size(), 2);
    }

    void unauthenticatedCallsDoNotRefresh() {
        m_keychain->save(QStringLiteral("r1"), KeychainService::refreshTokenKey);
        m_server->on("POST", QStringLiteral("/api/auth/passkey/authenticate/options"),
                     FakeResponse::raw(401, ""));
        QVERIFY_THROWS_EXCEPTION(APIError, awaitTask(m_api->passkeyAuthenticateOptions()));
        QVERIFY(m_server->requests("POST", refreshPath).isEmpty());
    }
};

QUILLET_TEST_GUILESS_MAIN(TestAPIService)
#include "tst_APIService.moc"
