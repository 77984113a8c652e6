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

class TestPairDeviceWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<AuthViewModel> m_model;

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
        m_server->on("POST", QStringLiteral("/api/pair/initiate"),
                     FakeResponse::json(200, QJsonObject{{"code", "ABC123"}, {"expires_in", 300}}));
        m_server->enqueue("GET", QStringLiteral("/api/paired-devices"), deviceList(2));
        m_server->enqueue("GET", QStringLiteral("/api/paired-devices"), deviceList(2));
        m_server->enqueue("GET", QStringLiteral("/api/paired-devices"), deviceList(1));
        m_server->enqueue("GET", QStringLiteral("/api/paired-devices"),
                          FakeResponse::raw(500, "hiccup"));
        m_server->on("GET", QStringLiteral("/api/paired-devices"), deviceList(3));
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
        QCOMPARE(m_server->requests("GET", QStringLiteral("/api/paired-devices")).size(), 5);
        // Counted before any code was shown: a phone pairing in between would be in the count.
        QStringList order;
        for (const RecordedRequest &request : m_server->requests())
            order << request.path;
        QVERIFY(order.indexOf(QStringLiteral("/api/paired-devices")) <
                order.indexOf(QStringLiteral("/api/pair/initiate")));
        QTest::qWait(100);
        QCOMPARE(m_server->requests("GET", QStringLiteral("/api/paired-devices")).size(), 5);
    }

    void failureShowsRetry() {
        signIn(*m_model, APIService::shared(), *m_server);
        m_server->enqueue("POST", QStringLiteral("/api/pair/initiate"),
                          FakeResponse::json(500, QJsonObject{}));
        m_server->on("POST", QStringLiteral("/api/pair/initiate"),
                     FakeResponse::json(200, QJsonObject{{"code", "XYZ7890"}, {"expires_in", 20}}));
        m_server->on("GET", QStringLiteral("/api/paired-devices"), deviceList(0));
        PairDeviceWindow window(*m_model, APIService::shared());
        window.show();
        PairingPanel *panel = window.pairingPanel();
        auto *retry = panel->findChild<QPushButton *>(QStringLiteral("retryButton"));
        QTRY_VERIFY(retry->isVisible());
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("errorLabel"))->text(),
                 QStringLiteral("HTTP error 500: {}"));
        // No code and no countdown until asked: nothing renews on its own.
        QTest::qWait(150);
        QCOMPARE(m_server->requests("POST", QStringLiteral("/api/pair/initiate")).size(), 1);
        retry->click();
        QTRY_COMPARE(panel->findChild<QLabel *>(QStringLiteral("codeLabel"))->text(),
                     QStringLiteral("XYZ7890"));
        QVERIFY(!retry->isVisible());
        // A quiet zone of 4 light modules, then the finder's dark corner, at 10 pixels a module.
        const QImage qr =
            PairingPanel::qrImage(QByteArrayLiteral("{\"s\":\"x\",\"c\":\"ABC123\"}"));
        QCOMPARE(qr.pixelColor(39, 39), QColor(Qt::white));
        QCOMPARE(qr.pixelColor(40, 40), QColor(Qt::black));
        // A payload too long for any QR code renders nothing rather than a wrong symbol.
        QVERIFY(PairingPanel::qrImage(QByteArray(5000, 'x')).isNull());
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestPairDeviceWindow)
#include "tst_pairdevicewindow.moc"
