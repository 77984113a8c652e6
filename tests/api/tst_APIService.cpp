#include "api/APIError.h"
#include "api/APIService.h"
#include "api/DecodingError.h"
#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "common/Settings.h"
#include "support/AccountFixture.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/StdoutCapture.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>

using namespace quillet;
using test::awaitTask;
using test::FakeResponse;
using test::FakeServer;
using test::RecordedRequest;

namespace {

template <typename Work> std::optional<APIError::Kind> apiErrorOf(Work &&work) {
    try {
        work();
    } catch (const APIError &error) {
        return error.kind();
    }
    return std::nullopt;
}

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

    void answers_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome"); // "ok", "decoding" or the error text
        QTest::newRow("200 with a list") << 200 << QByteArray("[]") << "ok";
        QTest::newRow("204 empty is decoded too") << 204 << QByteArray() << "decoding";
        QTest::newRow("200 not JSON") << 200 << QByteArray("<html>") << "decoding";
        QTest::newRow("object instead of list") << 200 << QByteArray("{}") << "decoding";
        QTest::newRow("device member missing")
            << 200 << QByteArray(R"([{"id":"1","device_name":"P"}])") << "decoding";
        QTest::newRow("server error with text")
            << 500 << QByteArray("boom") << "HTTP error 500: boom";
        QTest::newRow("error body not UTF-8") << 503 << QByteArray("\xff\xfe") << "HTTP error 503";
    }
    void answers() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);
        m_server->on("GET", devicesPath, FakeResponse::raw(status, body));
        try {
            awaitTask(m_api->pairedDevices());
            QCOMPARE(QStringLiteral("ok"), outcome);
        } catch (const DecodingError &) {
            QCOMPARE(QStringLiteral("decoding"), outcome);
        } catch (const APIError &error) {
            QCOMPARE(error.description(), outcome);
            QCOMPARE(error.statusCode(), status);
        }
    }

    // Decoding and bodies are checked against the real relay in tests/server; here, the headers.
    void headers() {
        m_server->on("GET", devicesPath, FakeResponse::raw(200, "[]"));
        m_server->on(
            "POST", QStringLiteral("/api/auth/api-keys"),
            FakeResponse::json(201, QJsonObject{{"id", "k1"}, {"label", "L"}, {"key", "s"}}));
        awaitTask(m_api->pairedDevices());
        const RecordedRequest get = m_server->requests().last();
        QVERIFY(!get.headers.contains("authorization"));
        QVERIFY(!get.headers.contains("content-type"));
        m_keychain->save(QStringLiteral("tok"), KeychainService::accessTokenKey);
        awaitTask(m_api->createApiKey(QStringLiteral("QuilletMac-x")));
        const RecordedRequest post = m_server->requests().last();
        QCOMPARE(post.headers.value("authorization"), QByteArray("Bearer tok"));
        QCOMPARE(post.headers.value("content-type"), QByteArray("application/json"));
    }

    void concurrent401sShareOneRefresh() {
        m_keychain->save(QStringLiteral("old"), KeychainService::accessTokenKey);
        m_keychain->save(QStringLiteral("r1"), KeychainService::refreshTokenKey);
        devicesNeedToken("new");
        FakeResponse refreshed =
            FakeResponse::json(200, QJsonObject{{"access_token", "new"}, {"refresh_token", "r2"}});
        refreshed.delayMs = 800; // long enough for all three 401s to meet it
        m_server->on("POST", refreshPath, refreshed);

        const QStringList outcomes = awaitTask(threeAtOnce(m_api.get()));
        QCOMPARE(outcomes, QStringList({"ok", "ok", "ok"}));
        const auto refreshes = m_server->requests("POST", refreshPath);
        QCOMPARE(refreshes.size(), 1);
        QCOMPARE(refreshes.first().json().object(), (QJsonObject{{"refresh_token", "r1"}}));
        QVERIFY(!refreshes.first().headers.contains("authorization"));
        QCOMPARE(m_server->requests("GET", devicesPath).size(), 6);
        QCOMPARE(m_keychain->load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("new")));
        QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey),
                 std::optional(QStringLiteral("r2")));

        // The flight is over: a later 401 starts a refresh of its own.
        m_keychain->save(QStringLiteral("stale"), KeychainService::accessTokenKey);
        awaitTask(m_api->pairedDevices());
        QCOMPARE(m_server->requests("POST", refreshPath).size(), 2);
    }

    void failedRefreshFailsEveryWaiter_data() {
        QTest::addColumn<int>("refreshStatus");
        QTest::addColumn<bool>("hasRefreshToken");
        QTest::newRow("refresh answered 401") << 401 << true;
        QTest::newRow("refresh answered 500") << 500 << true;
        QTest::newRow("refresh answered garbage") << 200 << true;
        QTest::newRow("no refresh token") << 200 << false;
    }
    void failedRefreshFailsEveryWaiter() {
        QFETCH(int, refreshStatus);
        QFETCH(bool, hasRefreshToken);
        if (hasRefreshToken)
            m_keychain->save(QStringLiteral("r1"), KeychainService::refreshTokenKey);
        devicesNeedToken("new");
        FakeResponse refresh = FakeResponse::raw(refreshStatus, "nope");
        refresh.delayMs = 600;
        m_server->on("POST", refreshPath, refresh);

        const QStringList outcomes = awaitTask(threeAtOnce(m_api.get()));
        const QString expired = APIError::tokenRefreshFailed().description();
        QCOMPARE(outcomes, QStringList({expired, expired, expired}));
        QCOMPARE(m_server->requests("POST", refreshPath).size(), hasRefreshToken ? 1 : 0);
        QCOMPARE(m_server->requests("GET", devicesPath).size(), 3);
        // The stored tokens are left alone; signing out is the caller's decision.
        QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey).has_value(), hasRefreshToken);
    }

    void secondUnauthorizedEndsTheCall() {
        m_keychain->save(QStringLiteral("r1"), KeychainService::refreshTokenKey);
        devicesNeedToken("never");
        m_server->on(
            "POST", refreshPath,
            FakeResponse::json(200, QJsonObject{{"accessToken", "new"}, {"refreshToken", "r2"}}));
        QCOMPARE(apiErrorOf([&] { awaitTask(m_api->pairedDevices()); }),
                 std::optional(APIError::Kind::unauthorized));
        QCOMPARE(m_server->requests("POST", refreshPath).size(), 1);
        QCOMPARE(m_server->requests("GET", devicesPath).size(), 2);
    }

    void unauthenticatedCallsDoNotRefresh() {
        m_keychain->save(QStringLiteral("r1"), KeychainService::refreshTokenKey);
        m_server->on("POST", QStringLiteral("/api/auth/passkey/authenticate/options"),
                     FakeResponse::raw(401, ""));
        QCOMPARE(apiErrorOf([&] { awaitTask(m_api->passkeyAuthenticateOptions()); }),
                 std::optional(APIError::Kind::unauthorized));
        QVERIFY(m_server->requests("POST", refreshPath).isEmpty());
        // Sent with neither body nor content type.
        QVERIFY(!m_server->requests().first().headers.contains("content-type"));
    }

    void saveTokens() {
        m_api->saveTokens({QStringLiteral("a"), QStringLiteral("r"), QStringLiteral("u")});
        QCOMPARE(m_keychain->load(KeychainService::userIdKey), std::optional(QStringLiteral("u")));
        QCOMPARE(m_keychain->load(KeychainService::refreshTokenKey),
                 std::optional(QStringLiteral("r")));

        // A store that fails says so.
        QFile blocker(m_dir.path() + QStringLiteral("/blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        KeychainService broken(std::make_unique<FileCredentialBackend>(blocker.fileName() +
                                                                       QStringLiteral("/c.json")));
        APIService api(broken);
        test::StdoutCapture capture;
        api.saveTokens({QStringLiteral("a"), QStringLiteral("r"), QStringLiteral("u")});
        const QList<QByteArray> lines = capture.text().split('\n');
        QCOMPARE(lines.size(), 5);
        QCOMPARE(
            lines.at(3),
            QByteArray("⚠️ Keychain save failed — access:false refresh:false userId:false"));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestAPIService)
#include "tst_APIService.moc"
