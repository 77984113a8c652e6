#include "api/APIService.h"
#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "api/PairingSession.h"
#include "common/QrCode.h"
#include "common/Settings.h"
#include "support/FakeServer.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QSignalSpy>

using namespace quillet;
using namespace std::chrono_literals;
using test::FakeResponse;
using test::FakeServer;

namespace {

const QString initiatePath = QStringLiteral("/api/pair/initiate");
const QString devicesPath = QStringLiteral("/api/paired-devices");

FakeResponse code(const QString &value, int expiresIn) {
    return FakeResponse::json(200, QJsonObject{{"code", value}, {"expires_in", expiresIn}});
}

FakeResponse devices(int count) {
    QJsonArray list;
    for (int i = 1; i <= count; ++i)
        list.append(QJsonObject{{"id", QStringLiteral("d%1").arg(i)},
                                {"device_name", QStringLiteral("Phone %1").arg(i)},
                                {"device_type", "ios"},
                                {"created_at", "t"},
                                {"last_seen_at", "t"}});
    return FakeResponse::json(200, list);
}

} // namespace

class TestPairingSession : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<KeychainService> m_keychain;
    std::unique_ptr<APIService> m_api;

    std::unique_ptr<PairingSession> makeSession(std::chrono::milliseconds tick,
                                                std::chrono::milliseconds poll) {
        auto session = std::make_unique<PairingSession>(*m_api);
        session->setTickInterval(tick);
        session->setPollInterval(poll);
        return session;
    }
    int initiations() const { return m_server->requests("POST", initiatePath).size(); }

private slots:
    void init() {
        m_server = std::make_unique<FakeServer>();
        m_keychain = std::make_unique<KeychainService>(
            std::make_unique<FileCredentialBackend>(m_dir.path() + QStringLiteral("/c.json")));
        m_api = std::make_unique<APIService>(*m_keychain);
        Settings::write(Settings::serverURL, m_server->baseUrl());
    }
    void cleanup() {
        // Let the network stack's HTTP thread release the last connection before the manager
        // goes; destroying it at once can strand that connection (a leak under the sanitizer).
        QTest::qWait(20);
        m_api.reset();
        m_server.reset();
    }

    void displayForms() {
        QCOMPARE(PairingSession::displayCode(QStringLiteral("ABC123")), QStringLiteral("ABC 123"));
        QCOMPARE(PairingSession::displayCode(QStringLiteral("ABCD123")), QStringLiteral("ABCD123"));
        QCOMPARE(PairingSession::expiryText(300), QStringLiteral("Expires in 5:00"));
        QCOMPARE(PairingSession::expiryText(61), QStringLiteral("Expires in 1:01"));
        QCOMPARE(PairingSession::expiryText(9), QStringLiteral("Expires in 0:09"));

        // The QR payload is exact JSON, escaped where needed.
        const QByteArray payload = PairingSession::qrPayload("https://x.test/\"a", "C\\1");
        QCOMPARE(payload, QByteArray("{\"s\":\"https://x.test/\\\"a\",\"c\":\"C\\\\1\"}"));
        QCOMPARE(QJsonDocument::fromJson(payload).object().value("s").toString(),
                 QStringLiteral("https://x.test/\"a"));
        const auto symbol =
            QrCode::encode(PairingSession::qrPayload("https://quillet.app", "ABC123"));
        QVERIFY(symbol.has_value());
        QCOMPARE((symbol->size() - 17) % 4, 0);
        // Finder patterns: dark 7x7 rings in three corners, light just inside the ring.
        for (auto [x, y] : {std::pair{0, 0}, std::pair{symbol->size() - 7, 0},
                            std::pair{0, symbol->size() - 7}}) {
            QVERIFY(symbol->isDark(x, y) && symbol->isDark(x + 6, y + 6) &&
                    symbol->isDark(x + 3, y + 3));
            QVERIFY(!symbol->isDark(x + 1, y + 1));
        }
        QVERIFY(!QrCode::encode(QByteArray(4000, 'x')).has_value());
    }

    void countsDownAndRenews_data() {
        QTest::addColumn<int>("expiresIn");
        QTest::addColumn<QList<qint64>>("shown");
        // From the lifetime down to 1, then the new code's full lifetime; a short code is shown
        // and replaced at once.
        QTest::newRow("3") << 3 << QList<qint64>{3, 2, 1, 300};
        QTest::newRow("1") << 1 << QList<qint64>{1, 300};
        QTest::newRow("0") << 0 << QList<qint64>{0, 300};
        QTest::newRow("negative") << -5 << QList<qint64>{-5, 300};
    }
    void countsDownAndRenews() {
        QFETCH(int, expiresIn);
        QFETCH(QList<qint64>, shown);
        m_server->enqueue("POST", initiatePath, code("ABC123", expiresIn));
        m_server->on("POST", initiatePath, code("XYZ789", 300));
        m_server->on("GET", devicesPath, devices(0));
        auto session = makeSession(30ms, 10s);
        QSignalSpy seconds(session.get(), &PairingSession::remainingSecondsChanged);
        QSignalSpy codes(session.get(), &PairingSession::codeChanged);
        session->start();
        QTRY_COMPARE(codes.size(), 2);
        QCOMPARE(codes.at(0).at(0).toString(), QStringLiteral("ABC123"));
        QCOMPARE(session->code(), std::optional(QStringLiteral("XYZ789")));
        QCOMPARE(session->expiresIn(), std::optional(qint64(300)));
        QList<qint64> counted;
        for (const auto &args : seconds)
            counted << args.at(0).toLongLong();
        QCOMPARE(counted.mid(0, shown.size()), shown);
        QCOMPARE(initiations(), 2);
    }

    void failureStopsTheCountdownUntilRetry() {
        m_server->enqueue("POST", initiatePath, FakeResponse::raw(500, "no codes"));
        m_server->on("POST", initiatePath, code("ABC123", 300));
        m_server->on("GET", devicesPath, devices(0));
        auto session = makeSession(20ms, 10s);
        session->start();
        QTRY_COMPARE(session->errorMessage(),
                     std::optional(QStringLiteral("HTTP error 500: no codes")));
        QVERIFY(!session->isLoading());
        QTest::qWait(150);
        QCOMPARE(initiations(), 1);
        QCOMPARE(session->code(), std::nullopt);

        session->retry();
        QTRY_COMPARE(session->code(), std::optional(QStringLiteral("ABC123")));
        QCOMPARE(session->errorMessage(), std::nullopt);
    }

    void pairedWhenTheCountGrows() {
        m_server->on("POST", initiatePath, code("ABC123", 300));
        m_server->enqueue("GET", devicesPath, devices(2)); // at the start
        m_server->enqueue("GET", devicesPath, devices(2));
        m_server->enqueue("GET", devicesPath, devices(1)); // one was removed meanwhile
        m_server->enqueue("GET", devicesPath, FakeResponse::raw(500, "hiccup"));
        m_server->on("GET", devicesPath, devices(3));
        auto session = makeSession(10s, 20ms);
        QSignalSpy paired(session.get(), &PairingSession::paired);
        session->start();
        QVERIFY(paired.wait(5000));
        QCOMPARE(session->initialDeviceCount(), std::optional(2));
        QCOMPARE(m_server->requests("GET", devicesPath).size(), 5);
        // Counted before any code was shown: a phone pairing in between would be in the count.
        QCOMPARE(m_server->requests().first().path, devicesPath);
        const auto added = paired.first().first().value<QList<PairedDeviceResponse>>();
        QCOMPARE(added.size(), 1);
        QCOMPARE(added.first().deviceName, QStringLiteral("Phone 3"));
        QVERIFY(!session->isRunning());
        QTest::qWait(100);
        QCOMPARE(m_server->requests("GET", devicesPath).size(), 5);
    }

    void failedFirstFetchComparesWithZero() {
        m_server->on("POST", initiatePath, code("ABC123", 300));
        m_server->enqueue("GET", devicesPath, FakeResponse::raw(500, ""));
        m_server->on("GET", devicesPath, devices(1));
        auto session = makeSession(10s, 20ms);
        QSignalSpy paired(session.get(), &PairingSession::paired);
        session->start();
        QVERIFY(paired.wait(5000));
        QCOMPARE(session->initialDeviceCount(), std::optional(0));
    }

    void stopCancelsEverything() {
        m_server->on("POST", initiatePath, code("ABC123", 2));
        m_server->on("GET", devicesPath, devices(0));
        auto session = makeSession(20ms, 20ms);
        session->start();
        QTRY_VERIFY(m_server->requests("GET", devicesPath).size() >= 2);
        session->stop();
        // A request already on its way still lands; nothing new may follow it.
        QTest::qWait(50);
        const int before = m_server->requests().size();
        QTest::qWait(150);
        QCOMPARE(m_server->requests().size(), before);
    }
};

QUILLET_TEST_GUILESS_MAIN(TestPairingSession)
#include "tst_PairingSession.moc"
