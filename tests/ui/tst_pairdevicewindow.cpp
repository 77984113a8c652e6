#include "api/PairingSession.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "ui/PairDeviceWindow.h"
#include "ui/PairingPanel.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

const QString initiatePath = QStringLiteral("/api/pair/initiate");
const QString devicesPath = QStringLiteral("/api/paired-devices");

FakeResponse code(const QString &value, int expiresIn) {
    return FakeResponse::json(200, QJsonObject{{"code", value}, {"expires_in", expiresIn}});
}

} // namespace

// Pairing a phone: the session that counts down, renews and polls, and the window on it.
class TestPairDeviceWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<AuthViewModel> m_model;

    std::unique_ptr<PairingSession> makeSession(std::chrono::milliseconds tick,
                                                std::chrono::milliseconds poll) {
        auto session = std::make_unique<PairingSession>(APIService::shared());
        session->setTickInterval(tick);
        session->setPollInterval(poll);
        return session;
    }

private Q_SLOTS:
    void init() {
        m_server = std::make_unique<FakeServer>();
        Settings::write(Settings::serverURL, m_server->baseUrl());
        APIService::shared().keychain().remove(KeychainService::refreshTokenKey);
        m_model = std::make_unique<AuthViewModel>(APIService::shared());
    }
    void cleanup() {
        m_model.reset();
        m_server.reset();
    }

    void signInThenPairUntilADeviceAppears() {
        m_server->on("POST", initiatePath, code(QStringLiteral("ABC123"), 300));
        m_server->enqueue("GET", devicesPath, deviceList(2));
        m_server->enqueue("GET", devicesPath, deviceList(2));
        m_server->enqueue("GET", devicesPath, deviceList(1));
        m_server->enqueue("GET", devicesPath, FakeResponse::raw(500, "hiccup"));
        m_server->on("GET", devicesPath, deviceList(3));
        auto *window = new PairDeviceWindow(*m_model, APIService::shared());
        window->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<PairDeviceWindow> guard(window);
        // Signed out it asks nothing; signing in starts the pairing.
        QVERIFY(!window->pairingPanel());
        signIn(*m_model, APIService::shared(), *m_server);
        PairingPanel *panel = window->pairingPanel();
        QVERIFY(panel);
        panel->session().setPollInterval(std::chrono::milliseconds(20));
        QSignalSpy paired(panel, &PairingPanel::devicePaired);
        window->show();
        QTRY_COMPARE(panel->findChild<QLabel *>(QStringLiteral("codeLabel"))->text(),
                     QStringLiteral("ABC 123"));
        QVERIFY(!panel->findChild<QLabel *>(QStringLiteral("qrImage"))->pixmap().isNull());
        // 2 at the start, 2 again, 1 (a phone removed), a failure: still open; 3 closes it, and
        // the polling ends with it.
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 5000);
        QCOMPARE(paired.count(), 1);
        QCOMPARE(m_server->requests("GET", devicesPath).size(), 5);
        // Counted before any code was shown: a phone pairing in between would be in the count.
        QStringList order;
        for (const RecordedRequest &request : m_server->requests())
            order << request.path;
        QVERIFY(order.indexOf(devicesPath) < order.indexOf(initiatePath));
        QTest::qWait(100);
        QCOMPARE(m_server->requests("GET", devicesPath).size(), 5);
    }

    void failureShowsRetry() {
        signIn(*m_model, APIService::shared(), *m_server);
        m_server->enqueue("POST", initiatePath, FakeResponse::json(500, QJsonObject{}));
        m_server->on("POST", initiatePath, code(QStringLiteral("XYZ7890"), 20));
        m_server->on("GET", devicesPath, deviceList(0));
        PairDeviceWindow window(*m_model, APIService::shared());
        window.show();
        PairingPanel *panel = window.pairingPanel();
        auto *retry = panel->findChild<QPushButton *>(QStringLiteral("retryButton"));
        QTRY_VERIFY(retry->isVisible());
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("errorLabel"))->text(),
                 QStringLiteral("HTTP error 500: {}"));
        // No code and no countdown until asked: nothing renews on its own.
        QTest::qWait(150);
        QCOMPARE(m_server->requests("POST", initiatePath).size(), 1);
        retry->click();
        QTRY_COMPARE(panel->findChild<QLabel *>(QStringLiteral("codeLabel"))->text(),
                     QStringLiteral("XYZ7890"));
        // A quiet zone of 4 light modules, then the finder's dark corner, at 10 pixels a module.
        const QImage qr =
            PairingPanel::qrImage(QByteArrayLiteral("{\"s\":\"x\",\"c\":\"ABC123\"}"));
        QCOMPARE(qr.pixelColor(39, 39), QColor(Qt::white));
        QCOMPARE(qr.pixelColor(40, 40), QColor(Qt::black));
        // A payload too long for any QR code renders nothing rather than a wrong symbol.
        QVERIFY(PairingPanel::qrImage(QByteArray(5000, 'x')).isNull());
        // What the phone reads from the QR code: exact JSON, escaped where needed.
        QCOMPARE(PairingSession::qrPayload("https://x.test/\"a", "C\\1"),
                 QByteArray("{\"s\":\"https://x.test/\\\"a\",\"c\":\"C\\\\1\"}"));
    }

    void countsDownAndRenews_data() {
        QTest::addColumn<int>("expiresIn");
        QTest::addColumn<QList<qint64>>("shown");
        // From the lifetime down to 1, then the new code's full lifetime; a short code is shown
        // and replaced at once.
        QTest::newRow("3") << 3 << QList<qint64>{3, 2, 1, 300};
        QTest::newRow("1") << 1 << QList<qint64>{1, 300};
    }
    void countsDownAndRenews() {
        QFETCH(int, expiresIn);
        QFETCH(QList<qint64>, shown);
        m_server->enqueue("POST", initiatePath, code("ABC123", expiresIn));
        m_server->on("POST", initiatePath, code("XYZ789", 300));
        m_server->on("GET", devicesPath, deviceList(0));
        auto session = makeSession(30ms, 10s);
        QSignalSpy seconds(session.get(), &PairingSession::remainingSecondsChanged);
        QSignalSpy codes(session.get(), &PairingSession::codeChanged);
        session->start();
        QTRY_COMPARE(codes.size(), 2);
        QCOMPARE(codes.at(0).at(0).toString(), QStringLiteral("ABC123"));
        QCOMPARE(session->code(), std::optional(QStringLiteral("XYZ789")));
        QList<qint64> counted;
        for (const auto &args : seconds)
            counted << args.at(0).toLongLong();
        QCOMPARE(counted.mid(0, shown.size()), shown);
        QCOMPARE(m_server->requests("POST", initiatePath).size(), 2);
    }

    // A failed first count is no phone, so that the first one to pair is noticed; then stopped.
    void failedFirstCountThenStop() {
        m_server->on("POST", initiatePath, code("ABC123", 2));
        m_server->enqueue("GET", devicesPath, FakeResponse::raw(500, ""));
        m_server->on("GET", devicesPath, deviceList(0));
        auto session = makeSession(20ms, 20ms);
        session->start();
        QTRY_VERIFY(m_server->requests("GET", devicesPath).size() >= 3);
        QCOMPARE(session->initialDeviceCount(), std::optional(0));
        session->stop();
        // A request already on its way still lands; nothing new may follow it.
        QTest::qWait(50);
        const int before = m_server->requests().size();
        QTest::qWait(150);
        QCOMPARE(m_server->requests().size(), before);
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestPairDeviceWindow)
#include "tst_pairdevicewindow.moc"
