#include "agent/AgentService.h"
#include "app/XdgAutostartLoginItem.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "ui/GeneralSettingsTab.h"
#include "ui/ServerSettingsTab.h"
#include "ui/SettingsWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

using namespace quillet;
using quillet::test::FakeResponse;
using quillet::test::FakeServer;

class TestSettingsWindow : public QObject {
    Q_OBJECT

    XdgAutostartLoginItem m_loginItem{QStringLiteral("/usr/bin/quillet")};
    std::unique_ptr<AuthViewModel> m_model;
    AgentService m_engine;

private Q_SLOTS:
    void init() {
        Settings::remove(Settings::serverURL);
        APIService::shared().keychain().remove(KeychainService::refreshTokenKey);
        m_model = std::make_unique<AuthViewModel>(APIService::shared());
    }
    void cleanup() { m_model.reset(); }

    // Opened signed out, signed in, pairing, then signed out from the window.
    void accountSection() {
        FakeServer server;
        SettingsWindow window(*m_model, m_engine, APIService::shared(), m_loginItem);
        window.show();
        // An absent address shows the default without writing it.
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("serverURLEdit"))->text(),
                 Settings::defaultServerURL);
        QVERIFY(!Settings::contains(Settings::serverURL));

        server.on("POST", QStringLiteral("/api/pair/initiate"),
                  FakeResponse::json(200, QJsonObject{{"code", "ABC123"}, {"expires_in", 300}}));
        server.on("GET", QStringLiteral("/api/paired-devices"), test::deviceList(0));
        test::signIn(*m_model, APIService::shared(), server);
        auto *signOut = window.findChild<QPushButton *>(QStringLiteral("signOutButton"));
        QVERIFY(signOut->isVisible());
        window.findChild<QPushButton *>(QStringLiteral("showPairingButton"))->click();
        QTRY_VERIFY(window.serverTab()
                        ->pairingSheet()
                        ->findChild<QLabel *>(QStringLiteral("codeLabel"))
                        ->text() == QStringLiteral("ABC 123"));

        signOut->click();
        QVERIFY(!m_model->isAuthenticated());
        // Signing out closes the pairing sheet: no code of a signed-out account stays on screen.
        QTRY_VERIFY(!window.serverTab()->pairingSheet());
    }

    void testConnection_data() {
        QTest::addColumn<int>("status"); // 0: no fake server, `suffix` is the whole address
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("suffix"); // typed after the base URL
        QTest::addColumn<QString>("expected");
        QTest::newRow("ok") << 200 << QByteArray(R"({"version":"1.4.2"})") << ""
                            << "OK — v1.4.2";
        QTest::newRow("not found") << 404 << QByteArray("<html>no</html>") << ""
                                   << "Error: HTTP 404";
        QTest::newRow("not a URL") << 0 << QByteArray() << "not a url"
                                   << "Error: ";
    }
    void testConnection() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, suffix);
        QFETCH(QString, expected);
        FakeServer server;
        server.on("GET", QStringLiteral("/api/health"), FakeResponse::raw(status, body));
        SettingsWindow window(*m_model, m_engine, APIService::shared(), m_loginItem);
        auto *tab = window.serverTab();
        auto *url = tab->findChild<QLineEdit *>(QStringLiteral("serverURLEdit"));
        url->clear();
        const QString typed = status ? server.baseUrl() + suffix : suffix;
        QTest::keyClicks(url, typed);
        QVERIFY(!Settings::contains(Settings::serverURL));
        // Confirmed, only a usable URL is stored.
        QTest::keyClick(url, Qt::Key_Return);
        QCOMPARE(Settings::readText(Settings::serverURL),
                 status ? std::optional(typed) : std::nullopt);

        quillet::test::awaitTask(tab->testConnection(), 10000);
        QVERIFY(!tab->isTesting());
        QCOMPARE(tab->connectionStatus().left(expected.size()), expected);
        if (!status)
            return;
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().path, QStringLiteral("/api/health"));
        QVERIFY(!server.requests().first().headers.contains("authorization"));
    }

    // The agent tab pushes its values into the running engine, in the engine's units.
    void agentTabTunesTheEngine() {
        AgentService engine;
        SettingsWindow window(*m_model, engine, APIService::shared(), m_loginItem);
        window.findChild<QSlider *>(QStringLiteral("pollIntervalSlider"))->setValue(7);
        window.findChild<QSlider *>(QStringLiteral("idleThresholdSlider"))->setValue(12);
        window.findChild<QSlider *>(QStringLiteral("contextLinesSlider"))->setValue(8);
        QCOMPARE(Settings::readDouble(Settings::contextLines), 80.0);
        QCOMPARE(engine.pollInterval(), 7.0);
        QCOMPARE(engine.idleThreshold(), 12.0);
        QCOMPARE(engine.contextLines(), 80);

        auto *login = window.findChild<QCheckBox *>(QStringLiteral("launchAtLoginCheck"));
        login->setChecked(true);
        QVERIFY(QFile::exists(XdgAutostartLoginItem::entryPath()));
        login->setChecked(false);
        QVERIFY(!QFile::exists(XdgAutostartLoginItem::entryPath()));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
