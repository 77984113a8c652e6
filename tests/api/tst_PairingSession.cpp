#include "api/APIService.h"
#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "api/PairingSession.h"
#include "common/Settings.h"
#include "support/AccountFixture.h"
#include "support/FakeServer.h"
#include "support/Fixtures.h"
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

} // namespace

class TestPairingSession : public QObject, private test::AccountFixture {
    Q_OBJECT
private:
    std::unique_ptr<PairingSession> makeSession(std::chrono::milliseconds tick,
                                                std::chrono::milliseconds poll) {
        auto session = std::make_unique<PairingSession>(*m_api);
        session->setTickInterval(tick);
        session->setPollInterval(poll);
        return session;
    }
    int initiations() const { return m_server->requests("POST", initiatePath).size(); }

private slots:
    void init() { initAccount(); }
    void cleanup() { cleanupAccount(); }

    // What the phone reads from the QR code: exact JSON, escaped where needed.
    void qrPayload() {
        const QByteArray payload = PairingSession::qrPayload("https://x.test/\"a", "C\\1");
        QCOMPARE(payload, QByteArray("{\"s\":\"https://x.test/\\\"a\",\"c\":\"C\\\\1\"}"));
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
        m_server->on("GET", devicesPath, test::deviceList(0));
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

    void failedFirstFetchComparesWithZero() {
        m_server->on("POST", initiatePath, code("ABC123", 300));
        m_server->enqueue("GET", devicesPath, FakeResponse::raw(500, ""));
        m_server->on("GET", devicesPath, test::deviceList(1));
        auto session = makeSession(10s, 20ms);
        QSignalSpy paired(session.get(), &PairingSession::paired);
        session->start();
        QVERIFY(paired.wait(5000));
        QCOMPARE(session->initialDeviceCount(), std::optional(0));
    }

    void stopCancelsEverything() {
        m_server->on("POST", initiatePath, code("ABC123", 2));
        m_server->on("GET", devicesPath, test::deviceList(0));
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
