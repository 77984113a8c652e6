#include "agent/AgentService.h"
#include "agent/TerminalLauncher.h"
#include "app/XdgAutostartLoginItem.h"
#include "projects/DropCoordinator.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"
#include "ui/Alerts.h"
#include "ui/PairDeviceWindow.h"
#include "ui/ProjectsWindow.h"
#include "ui/SettingsWindow.h"
#include "ui/TrayFrontend.h"

#include <QApplication>
#include <QMutex>

using namespace quillet;
using namespace quillet::test;

namespace {

// The menu as text: "-" for a separator, "name>[a|b]" for a submenu.
QStringList describe(const QMenu &menu) {
    QStringList lines;
    for (QAction *action : menu.actions()) {
        QStringList inner;
        for (QAction *sub : action->menu() ? action->menu()->actions() : QList<QAction *>())
            inner << sub->text();
        lines << (action->isSeparator() ? QStringLiteral("-") : action->text()) +
                     (inner.isEmpty() ? QString() : ">[" + inner.join('|') + ']');
    }
    return lines;
}

QAction *find(const QMenu &menu, const QString &text) {
    for (QAction *action : menu.actions()) {
        if (action->text() == text)
            return action;
        if (action->menu()) {
            if (QAction *inner = find(*action->menu(), text))
                return inner;
        }
    }
    return nullptr;
}

} // namespace

class RecordingLauncher : public TerminalLauncher {
public:
    QMutex mutex;
    QStringList commands;
    bool open(const QStringList &command, QString *) override {
        QMutexLocker lock(&mutex);
        commands << command.join(QLatin1Char(' '));
        return true;
    }
    qsizetype count() {
        QMutexLocker lock(&mutex);
        return commands.size();
    }
};

class TestTrayFrontend : public QObject {
    Q_OBJECT

    XdgAutostartLoginItem m_loginItem{QStringLiteral("/usr/bin/quillet")};
    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<ProjectStore> m_store;
    std::unique_ptr<DropCoordinator> m_drops;
    std::unique_ptr<AuthViewModel> m_model;
    std::unique_ptr<AgentService> m_engine;
    std::unique_ptr<TrayFrontend> m_tray;
    std::unique_ptr<TmuxServer> m_tmux;
    RecordingLauncher m_launcher;

    // Projects named here run: their tmux session exists on the test's private server.
    void runSessions(const QStringList &names) {
        if (names.isEmpty())
            return;
        if (TmuxServer::executable().isEmpty())
            QSKIP("tmux is not installed");
        m_tmux = std::make_unique<TmuxServer>();
        for (const QString &name : names)
            m_tmux->startSession(sessionName(name));
        awaitTask(m_tray->refreshTmuxSessions());
    }

private Q_SLOTS:
    void init() {
        QFile::remove(ProjectStore::defaultFilePath());
        m_server = std::make_unique<FakeServer>();
        Settings::write(Settings::serverURL, m_server->baseUrl());
        APIService::shared().keychain().remove(KeychainService::refreshTokenKey);
        m_store = std::make_unique<ProjectStore>();
        m_drops = std::make_unique<DropCoordinator>();
        m_model = std::make_unique<AuthViewModel>(APIService::shared());
        m_engine = std::make_unique<AgentService>();
        m_tray = std::make_unique<TrayFrontend>(APIService::shared(), *m_drops, m_loginItem);
        m_tray->setServices(m_store.get(), m_engine.get(), m_model.get());
        Alerts::answer = nullptr;
        TerminalLauncher::setForTesting(&m_launcher);
    }
    void cleanup() {
        m_tmux.reset();
        m_tray.reset();
        m_model.reset();
        m_server.reset();
    }
    void cleanupTestCase() { TerminalLauncher::setForTesting(nullptr); }

    void menuStates_data() {
        QTest::addColumn<QStringList>("projects");
        QTest::addColumn<QStringList>("monitored");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<int>("devices");
        QTest::addColumn<QString>("expected"); // between the title and the settings entry
        QTest::newRow("no projects, signed out") << QStringList{} << QStringList{} << false << 0
                                                 << "No projects, -, Manage Projects..., -, "
                                                    "Sign In...";
        QTest::newRow("running and stopped")
            << QStringList{"Alpha", "Beta"} << QStringList{"Beta"} << false << 0
            << "Alpha, Beta>[Open Terminal|Stop], -, Manage Projects..., -, Sign In...";
        QTest::newRow("signed in with devices")
            << QStringList{"Alpha"} << QStringList{} << true << 2
            << "Alpha, -, Manage Projects..., -, Pair Device..., Phone 1>[Disconnect], "
               "Phone 2>[Disconnect]";
        QTest::newRow("signed out, devices cached")
            << QStringList{"Alpha"} << QStringList{} << false << 2
            << "Alpha, -, Manage Projects..., -, Sign In...";
    }
    void menuStates() {
        QFETCH(QStringList, projects);
        QFETCH(QStringList, monitored);
        QFETCH(bool, signedIn);
        QFETCH(int, devices);
        QFETCH(QString, expected);
        for (const QString &name : projects)
            m_store->add(sampleProject(name));
        runSessions(monitored);
        m_server->on("GET", QStringLiteral("/api/paired-devices"), deviceList(devices));
        if (signedIn || devices > 0) {
            // Opening the menu fills the cache, once an interval; a signed-out menu must still
            // hide it.
            signIn(*m_model, APIService::shared(), *m_server);
            m_tray->menuAboutToShow();
            m_tray->menuAboutToShow();
            QTRY_COMPARE(m_tray->pairedDevices().size(), devices);
            QCOMPARE(m_server->requests("GET", QStringLiteral("/api/paired-devices")).size(), 1);
            if (!signedIn)
                m_model->signOut();
        }
        m_tray->rebuildMenu();
        QCOMPARE(describe(*m_tray->menu()).join(QStringLiteral(", ")),
                 "Quillet, -, " + expected + ", -, Settings..., -, Quit Quillet");
    }

    void projectActionsFindProjectById() {
        m_store->add(sampleProject(QStringLiteral("Alpha")));
        m_store->add(sampleProject(QStringLiteral("Beta")));
        runSessions({QStringLiteral("Beta")});
        QStringList calls;
        m_tray->launchProject = [&calls](const Project &p) { calls << "launch " + p.name; };
        m_tray->stopProject = [&calls](const Project &p) { calls << "stop " + p.name; };
        m_tray->rebuildMenu();
        find(*m_tray->menu(), QStringLiteral("Alpha"))->trigger();
        find(*m_tray->menu(), QStringLiteral("Open Terminal"))->trigger();
        find(*m_tray->menu(), QStringLiteral("Stop"))->trigger();
        QCOMPARE(calls, (QStringList{"launch Alpha", "stop Beta"}));
        QTRY_COMPARE(m_launcher.count(), 1);
        QVERIFY(m_launcher.commands.first().contains(QLatin1String("beta")));
    }

    void disconnect_data() {
        QTest::addColumn<int>("choice");
        QTest::addColumn<int>("deleteStatus");
        QTest::addColumn<int>("devicesLeft");
        QTest::addColumn<QStringList>("alerts");
        QTest::newRow("cancel") << 1 << 204 << 2 << QStringList{"Disconnect Phone 1?"};
        QTest::newRow("disconnect") << 0 << 204 << 1 << QStringList{"Disconnect Phone 1?"};
        QTest::newRow("server refuses")
            << 0 << 404 << 2 << QStringList{"Disconnect Phone 1?", "Failed to Disconnect"};
    }
    void disconnect() {
        QFETCH(int, choice);
        QFETCH(int, deleteStatus);
        QFETCH(int, devicesLeft);
        QFETCH(QStringList, alerts);
        m_server->on("GET", QStringLiteral("/api/paired-devices"), deviceList(2));
        m_server->on("DELETE", QStringLiteral("/api/paired-devices/d1"),
                     FakeResponse::raw(deleteStatus, {}));
        signIn(*m_model, APIService::shared(), *m_server);
        awaitTask(m_tray->refreshDevicesIfStale());
        m_tray->rebuildMenu();
        QStringList shown;
        Alerts::answer = [&](const Alerts::Alert &alert) {
            shown << alert.message;
            return choice;
        };
        awaitTask(m_tray->disconnectDevice(QStringLiteral("d1")));
        QCOMPARE(shown, alerts);
        QCOMPARE(m_server->requests("DELETE", QStringLiteral("/api/paired-devices/d1")).size(),
                 choice == 0 ? 1 : 0);
        QCOMPARE(m_tray->pairedDevices().size(), devicesLeft);
        QCOMPARE(find(*m_tray->menu(), QStringLiteral("Phone 1")) != nullptr, devicesLeft == 2);
    }

    void menuEntriesOpenEachWindowOnce() {
        // The offscreen platform has no system tray: the projects window stands in for it.
        m_tray->installStatusItem();
        QVERIFY(!m_tray->hasTrayIcon() && m_tray->projectsWindow()->isVisible());
        m_tray->projectsWindow()->close();
        const std::pair<QString, std::function<QWidget *()>> entries[] = {
            {"Manage Projects...", [this] { return m_tray->projectsWindow(); }},
            {"Settings...", [this] { return m_tray->settingsWindow(); }},
            {"Sign In...", [this] { return m_tray->signInWindow(); }}};
        for (const auto &[label, window] : entries) {
            find(*m_tray->menu(), label)->trigger();
            QWidget *first = window();
            find(*m_tray->menu(), label)->trigger();
            QVERIFY2(first && first->isVisible() && window() == first, qPrintable(label));
        }
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestTrayFrontend)
#include "tst_trayfrontend.moc"
