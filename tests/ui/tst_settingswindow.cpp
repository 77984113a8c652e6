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
        for (const QString &key :
             {Settings::serverURL, Settings::notificationSound, Settings::launchAtLogin})
            Settings::remove(key);
        APIService::shared().keychain().remove(KeychainService::refreshTokenKey);
        m_model = std::make_unique<AuthViewModel>(APIService::shared());
    }
    void cleanup() { m_model.reset(); }

    void accountSection() {
        FakeServer server;
        SettingsWindow window(*m_model, m_engine, APIService::shared(), m_loginItem);
        window.show();
        auto *status = window.findChild<QLabel *>(QStringLiteral("accountStatusLabel"));
        auto *keyRow = window.findChild<QWidget *>(QStringLiteral("apiKeyRow"));
        auto *signOut = window.findChild<QPushButton *>(QStringLiteral("signOutButton"));
        auto *pair = window.findChild<QWidget *>(QStringLiteral("pairSection"));
        QCOMPARE(status->text(), QStringLiteral("Not signed in"));
        QVERIFY(!signOut->isVisible() && !pair->isVisible() && !keyRow->isVisible());
        // An absent address shows the default without writing it.
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("serverURLEdit"))->text(),
                 Settings::defaultServerURL);
        QVERIFY(!Settings::contains(Settings::serverURL));

        server.on("POST", QStringLiteral("/api/pair/initiate"),
                  FakeResponse::json(200, QJsonObject{{"code", "ABC123"}, {"expires_in", 300}}));
        server.on("GET", QStringLiteral("/api/paired-devices"), test::deviceList(0));
        Settings::write(Settings::agentApiKey, QStringLiteral("secret"));
        Settings::write(Settings::agentApiKeyId, QStringLiteral("k1"));
        test::signIn(*m_model, APIService::shared(), server);
        QCOMPARE(status->text(), QStringLiteral("Signed in"));
        QVERIFY(signOut->isVisible() && pair->isVisible() && keyRow->isVisible());

        window.findChild<QPushButton *>(QStringLiteral("showPairingButton"))->click();
        QVERIFY(window.serverTab()->pairingSheet());
        QTRY_VERIFY(window.serverTab()
                        ->pairingSheet()
                        ->findChild<QLabel *>(QStringLiteral("codeLabel"))
                        ->text() == QStringLiteral("ABC 123"));

        signOut->click();
        QCOMPARE(status->text(), QStringLiteral("Not signed in"));
        QVERIFY(!signOut->isVisible() && !pair->isVisible() && !keyRow->isVisible());
        QVERIFY(!Settings::contains(Settings::agentApiKey));
        // Signing out closes the pairing sheet.
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
        QTest::newRow("version not text") << 200 << QByteArray(R"({"version":3})") << ""
                                          << "Error: HTTP 200";
        // The address is formed with two slashes; Qt's HTTP stack collapses them on the wire.
        QTest::newRow("trailing slash") << 200 << QByteArray(R"({"version":"2"})") << "/"
                                        << "OK — v2";
        QTest::newRow("refused") << 0 << QByteArray() << "http://127.0.0.1:1"
                                 << "Error: ";
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
        // Confirmed, only a usable URL is stored; the status line says why another is not.
        QTest::keyClick(url, Qt::Key_Return);
        const bool usable = typed.startsWith(QLatin1String("http"));
        QCOMPARE(Settings::readText(Settings::serverURL),
                 usable ? std::optional(typed) : std::nullopt);
        QCOMPARE(tab->connectionStatus(),
                 usable ? QString()
                        : QStringLiteral("'%1' is not an http or https URL").arg(typed));

        quillet::test::awaitTask(tab->testConnection(), 10000);
        QVERIFY(!tab->isTesting());
        if (!status) {
            QVERIFY(tab->connectionStatus().startsWith(expected));
            QVERIFY(!tab->connectionStatus().startsWith(QLatin1String("Error: HTTP")));
            return;
        }
        QCOMPARE(tab->connectionStatus(), expected);
        const auto label = tab->findChild<QLabel *>(QStringLiteral("connectionStatusLabel"));
        QCOMPARE(label->styleSheet().contains(QLatin1String("#1f9d3a")),
                 expected.contains(QLatin1String("OK")));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().path, QStringLiteral("/api/health"));
        QVERIFY(!server.requests().first().headers.contains("authorization"));
    }

    void agentTabFollowsAndTunesTheEngine() {
        for (const QString &k :
             {Settings::pollInterval, Settings::idleThreshold, Settings::contextLines})
            Settings::remove(k);
        AgentService engine;
        SettingsWindow window(*m_model, engine, APIService::shared(), m_loginItem);
        const auto value = [&](const QString &key) {
            return window.findChild<QLabel *>(key + QStringLiteral("Value"))->text();
        };
        // Absent settings show their defaults and write nothing.
        QCOMPARE(value(Settings::pollInterval), QStringLiteral("3s"));
        QCOMPARE(value(Settings::contextLines), QStringLiteral("50"));
        QVERIFY(!Settings::contains(Settings::pollInterval));

        window.findChild<QSlider *>(QStringLiteral("pollIntervalSlider"))->setValue(7);
        window.findChild<QSlider *>(QStringLiteral("idleThresholdSlider"))->setValue(12);
        window.findChild<QSlider *>(QStringLiteral("contextLinesSlider"))->setValue(8);
        QCOMPARE(Settings::readDouble(Settings::pollInterval), 7.0);
        QCOMPARE(Settings::readDouble(Settings::idleThreshold), 12.0);
        QCOMPARE(Settings::readDouble(Settings::contextLines), 80.0);
        QCOMPARE(value(Settings::idleThreshold), QStringLiteral("12s"));
        QCOMPARE(value(Settings::contextLines), QStringLiteral("80"));
        QCOMPARE(engine.pollInterval(), 7.0);
        QCOMPARE(engine.idleThreshold(), 12.0);
        QCOMPARE(engine.contextLines(), 80);

        auto *running = window.findChild<QLabel *>(QStringLiteral("agentStatusLabel"));
        QCOMPARE(running->text(), QStringLiteral("Stopped"));
        FakeServer server;
        engine.setPollInterval(0.05);
        engine.start(server.baseUrl(), QStringLiteral("k"), QStringLiteral("Quillet Mac"));
        QCOMPARE(running->text(), QStringLiteral("Running"));
        engine.stop();
        QTRY_VERIFY(!engine.isLoopActive());
        QTRY_COMPARE(running->text(), QStringLiteral("Stopped"));
    }

    void generalTab() {
        SettingsWindow window(*m_model, m_engine, APIService::shared(), m_loginItem);
        auto *sound = window.findChild<QCheckBox *>(QStringLiteral("soundCheck"));
        auto *login = window.findChild<QCheckBox *>(QStringLiteral("launchAtLoginCheck"));
        QVERIFY(sound->isChecked()); // absent shows on
        QVERIFY(!login->isChecked());
        sound->setChecked(false);
        QVERIFY(Settings::contains(Settings::notificationSound));
        QVERIFY(!Settings::readBool(Settings::notificationSound));

        login->setChecked(true);
        QVERIFY(Settings::readBool(Settings::launchAtLogin));
        QVERIFY(QFile::exists(XdgAutostartLoginItem::entryPath()));
        login->setChecked(false);
        QVERIFY(!Settings::readBool(Settings::launchAtLogin));
        QVERIFY(!QFile::exists(XdgAutostartLoginItem::entryPath()));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
