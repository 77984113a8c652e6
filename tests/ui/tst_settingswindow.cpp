#include "agent/AgentService.h"
#include "app/XdgAutostartLoginItem.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/TestEnvironment.h"
#include "ui/GeneralSettingsTab.h"
#include "ui/ServerSettingsTab.h"
#include "ui/SettingsWindow.h"
#include "ui/SignedIn.h"

#include <QApplication>
#include <QCheckBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>

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

    void tabsAndTitle() {
        SettingsWindow window(*m_model, m_engine, APIService::shared(), m_loginItem);
        QCOMPARE(window.windowTitle(), QStringLiteral("Quillet — Settings"));
        auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("settingsTabs"));
        QStringList labels;
        for (int i = 0; i < tabs->count(); ++i)
            labels << tabs->tabText(i);
        QCOMPARE(labels.first(), QStringLiteral("Server"));
        QCOMPARE(labels.last(), QStringLiteral("General"));
    }

    void testConnection_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("suffix"); // typed after the base URL
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("path");
        QTest::newRow("ok") << 200 << QByteArray(R"({"version":"1.4.2"})") << ""
                            << "OK — v1.4.2"
                            << "/api/health";
        QTest::newRow("not found") << 404 << QByteArray("<html>no</html>") << ""
                                   << "Error: HTTP 404"
                                   << "/api/health";
        QTest::newRow("server error") << 500 << QByteArray("{}") << ""
                                      << "Error: HTTP 500"
                                      << "/api/health";
        QTest::newRow("no version") << 200 << QByteArray(R"({"name":"x"})") << ""
                                    << "Error: HTTP 200"
                                    << "/api/health";
        QTest::newRow("version not text") << 200 << QByteArray(R"({"version":3})") << ""
                                          << "Error: HTTP 200"
                                          << "/api/health";
        // The address is formed with two slashes; Qt's HTTP stack collapses them on the wire.
        QTest::newRow("trailing slash") << 200 << QByteArray(R"({"version":"2"})") << "/"
                                        << "OK — v2"
                                        << "/api/health";
    }
    void testConnection() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, suffix);
        QFETCH(QString, expected);
        QFETCH(QString, path);
        FakeServer server;
        server.on("GET", path, FakeResponse::raw(status, body));
        SettingsWindow window(*m_model, m_engine, APIService::shared(), m_loginItem);
        auto *tab = window.serverTab();
        auto *url = tab->findChild<QLineEdit *>(QStringLiteral("serverURLEdit"));
        url->clear();
        QTest::keyClicks(url, server.baseUrl() + suffix);
        QCOMPARE(Settings::readText(Settings::serverURL), server.baseUrl() + suffix);

        quillet::test::awaitTask(tab->testConnection(), 10000);
        QCOMPARE(server.requests().value(0).path, path);
        QCOMPARE(tab->connectionStatus(), expected);
        QVERIFY(!tab->isTesting());
        const auto label = tab->findChild<QLabel *>(QStringLiteral("connectionStatusLabel"));
        QCOMPARE(label->styleSheet().contains(QLatin1String("#1f9d3a")),
                 expected.contains(QLatin1String("OK")));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().path, path);
        QVERIFY(!server.requests().first().headers.contains("authorization"));
    }

    void testConnectionFailures_data() {
        QTest::addColumn<QString>("url");
        QTest::newRow("refused") << "http://127.0.0.1:1";
        QTest::newRow("not a URL") << "not a url";
    }
    void testConnectionFailures() {
        QFETCH(QString, url);
        Settings::write(Settings::serverURL, url);
        SettingsWindow window(*m_model, m_engine, APIService::shared(), m_loginItem);
        quillet::test::awaitTask(window.serverTab()->testConnection(), 10000);
        QVERIFY(window.serverTab()->connectionStatus().startsWith(QLatin1String("Error: ")));
        QVERIFY(!window.serverTab()->connectionStatus().startsWith(QLatin1String("Error: HTTP")));
    }

    void agentTabPushesIntoTheEngine_data() {
        QTest::addColumn<QString>("slider");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("key");
        QTest::addColumn<double>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("poll interval 7")
            << "pollIntervalSlider" << 7 << Settings::pollInterval << 7.0 << "7s";
        QTest::newRow("idle threshold 12")
            << "idleThresholdSlider" << 12 << Settings::idleThreshold << 12.0 << "12s";
        QTest::newRow("context lines 80")
            << "contextLinesSlider" << 8 << Settings::contextLines << 80.0 << "80";
    }
    void agentTabPushesIntoTheEngine() {
        QFETCH(QString, slider);
        QFETCH(int, position);
        QFETCH(QString, key);
        QFETCH(double, stored);
        QFETCH(QString, shown);
        for (const QString &k :
             {Settings::pollInterval, Settings::idleThreshold, Settings::contextLines})
            Settings::remove(k);
        AgentService engine;
        SettingsWindow window(*m_model, engine, APIService::shared(), m_loginItem);
        // Absent settings show their defaults and write nothing.
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("pollIntervalValue"))->text(),
                 QStringLiteral("3s"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("contextLinesValue"))->text(),
                 QStringLiteral("50"));
        QVERIFY(!Settings::contains(key));

        window.findChild<QSlider *>(slider)->setValue(position);
        QCOMPARE(Settings::readDouble(key), stored);
        QCOMPARE(window.findChild<QLabel *>(key + QStringLiteral("Value"))->text(), shown);
        if (key == Settings::pollInterval)
            QCOMPARE(engine.pollInterval(), stored);
        else if (key == Settings::idleThreshold)
            QCOMPARE(engine.idleThreshold(), stored);
        else
            QCOMPARE(engine.contextLines(), int(stored));
    }

    void agentStatusFollowsTheEngine() {
        AgentService engine;
        SettingsWindow window(*m_model, engine, APIService::shared(), m_loginItem);
        auto *running = window.findChild<QLabel *>(QStringLiteral("agentStatusLabel"));
        QCOMPARE(running->text(), QStringLiteral("Stopped"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("sessionsLabel"))->text(),
                 QStringLiteral("0"));
        FakeServer server;
        engine.setPollInterval(0.05);
        engine.start(server.baseUrl(), QStringLiteral("k"), QStringLiteral("Quillet Mac"));
        QCOMPARE(running->text(), QStringLiteral("Running"));
        engine.stop();
        QTRY_VERIFY(!engine.isLoopActive());
        QTRY_COMPARE(running->text(), QStringLiteral("Stopped"));
    }

    void serverURLDefault() {
        SettingsWindow window(*m_model, m_engine, APIService::shared(), m_loginItem);
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("serverURLEdit"))->text(),
                 Settings::defaultServerURL);
        QVERIFY(!Settings::contains(Settings::serverURL));
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

        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("versionLabel"))->text(),
                 QStringLiteral(QUILLET_VERSION " (1)"));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
