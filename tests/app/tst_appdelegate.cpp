#include "agent/AgentService.h"
#include "agent/TmuxService.h"
#include "app/AppDelegate.h"
#include "app/ShellFrontend.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/FakeServer.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QJsonObject>
#include <QSignalSpy>

using namespace quillet;
using namespace quillet::test;

namespace {

class RecordingFrontend : public ShellFrontend {
public:
    void installStatusItem() override { calls << QStringLiteral("install"); }
    void showTmuxNotFound() override { calls << QStringLiteral("tmux not found"); }
    void refreshStatus() override { calls << QStringLiteral("status"); }
    void rebuildMenu() override { calls << QStringLiteral("menu"); }
    void attachTerminal(const QString &session) override {
        calls << QStringLiteral("attach ") + session;
    }
    void closeSignIn() override { calls << QStringLiteral("close sign-in"); }
    void refreshPairedDevicesIfStale() override { calls << QStringLiteral("devices"); }
    void openMainWindow() override {}
    void openSettings() override {}
    void openSignIn() override {}
    void openPairDevice() override {}
    QStringList calls;
};

const QStringList defaultTmuxPaths{QStringLiteral("/opt/homebrew/bin/tmux"),
                                   QStringLiteral("/usr/local/bin/tmux"),
                                   QStringLiteral("/usr/bin/tmux")};

} // namespace

class TestAppDelegate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        QFile::remove(ProjectStore::defaultFilePath());
        Settings::remove(Settings::serverURL);
        Settings::remove(Settings::agentApiKey);
        m_server = std::make_unique<FakeServer>();
        serveAgent(*m_server);
        m_tmux = std::make_unique<TmuxServer>();
        m_frontend = std::make_unique<RecordingFrontend>();
        m_delegate = std::make_unique<AppDelegate>(m_frontend.get());
        QSignalSpy startUpRecovery(m_delegate.get(), &AppDelegate::recoveryFinished);
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(startUpRecovery.wait(5000));
    }

    void cleanup() {
        TmuxService::setSearchPathsForTesting(defaultTmuxPaths);
        if (AgentService *engine = m_delegate->agentService()) {
            engine->stop();
            QVERIFY(QTest::qWaitFor([&] { return !engine->isLoopActive(); }, 10000));
        }
        // Lets the launch and recovery tasks of the test end before their owner goes.
        QTest::qWait(50);
        m_delegate.reset();
        m_frontend.reset();
        m_server.reset();
        m_tmux.reset();
    }

    void launchTypesOnceAndStopNeedsNoServer() {
        const Project p = addProject(QStringLiteral("Web"), QStringLiteral("web"));
        QSignalSpy launched(m_delegate.get(), &AppDelegate::projectLaunched);
        m_delegate->launchProject(p);
        QVERIFY(QTest::qWaitFor([] { return TmuxService::sessionExists(QStringLiteral("web")); }));
        // The shell in the new session gets its command only after the pause.
        QTest::qWait(500);
        QVERIFY(!markerExists());
        QVERIFY(launched.wait(5000));
        QVERIFY(QTest::qWaitFor([&] { return markerExists(); }));
        QVERIFY(m_tmux->capture(QStringLiteral("web:0.0"))
                    .contains(QStringLiteral("unset CLAUDECODE && touch launched-marker")));
        QVERIFY(m_frontend->calls.contains(QStringLiteral("attach web")));
        QVERIFY(m_delegate->projectStore()->project(p.id)->lastUsedAt.has_value());
        // No server configured: the tmux side works, the monitor does not start.
        QVERIFY(!m_delegate->agentService()->isRunning());

        // Launching the running session again attaches and types nothing.
        QFile::remove(m_tmux->scratchDir() + QStringLiteral("/launched-marker"));
        m_frontend->calls.clear();
        m_delegate->launchProject(p);
        QVERIFY(launched.wait(5000));
        QVERIFY(m_frontend->calls.contains(QStringLiteral("attach web")));
        QTest::qWait(300);
        QVERIFY(!markerExists());

        // Stopping a project the monitor never saw asks nothing of the server.
        m_delegate->stopProject(p);
        QVERIFY(QTest::qWaitFor([] { return !TmuxService::sessionExists(QStringLiteral("web")); }));
        QVERIFY(m_server->requests().isEmpty());
    }

    void missingTmuxShowsOneAlertPerProject() {
        addProject(QStringLiteral("A"), QStringLiteral("a"), true);
        addProject(QStringLiteral("B"), QStringLiteral("b"), false);
        addProject(QStringLiteral("C"), QStringLiteral("c"), true);
        TmuxService::setSearchPathsForTesting({QStringLiteral("/nonexistent/tmux")});
        m_frontend->calls.clear();
        m_delegate->autoLaunchProjects();
        QCOMPARE(m_frontend->calls.count(QStringLiteral("tmux not found")), 2);
    }

    // A new project is looked for at once; a session that only starts with its name is not its
    // own. (Found with no server configured: tst_agentcommand.)
    void recoveryStartsTheEngineForTheProjectsSession() {
        QSignalSpy recovered(m_delegate.get(), &AppDelegate::recoveryFinished);
        configureServer();
        m_tmux->startSession(QStringLiteral("web-old"));
        addProject(QStringLiteral("Web"), QStringLiteral("web"));
        QVERIFY(recovered.wait(5000));
        QCOMPARE(recovered.takeFirst().first().toBool(), false);
        QVERIFY(!m_delegate->agentService()->isRunning());

        m_tmux->startSession(QStringLiteral("web"));
        m_delegate->recoverSessions();
        QVERIFY(recovered.wait(5000));
        QCOMPARE(recovered.takeFirst().first().toBool(), true);
        QVERIFY(m_delegate->agentService()->isRunning());
        QCOMPARE(m_delegate->agentService()->serverURL(), m_server->baseUrl());
    }

    // A remote stop ends the tmux session. (Its panes' questions expire and their sessions close
    // as for any pane that vanishes: tst_agentservice. The remote launch: tests/server.)
    void remoteStopEndsTheSession() {
        const Project p = addProject(QStringLiteral("Web"), QStringLiteral("web"));
        m_tmux->startSession(QStringLiteral("web"));
        configureServer();
        AgentService *engine = m_delegate->agentService();
        m_delegate->startAgentIfNeeded();
        engine->setPollInterval(0.05);
        QVERIFY(QTest::qWaitFor(
            [&] { return engine->sessions().contains(QStringLiteral("web:0.0")); }));
        m_server->enqueue(
            "GET", QStringLiteral("/api/commands/pending"),
            FakeResponse::raw(200,
                              QByteArray(R"([{"id":"c2","project_id":"ID","command_type":"stop"}])")
                                  .replace("ID", p.idText().toUtf8())));
        QVERIFY(QTest::qWaitFor([] { return !TmuxService::sessionExists(QStringLiteral("web")); }));
    }

private:
    Project addProject(const QString &name, const QString &session, bool autoLaunch = false) {
        Project p = sampleProject(name, m_tmux->scratchDir());
        p.tmuxSessionName = session;
        p.launchCommand = QStringLiteral("touch launched-marker");
        p.autoLaunch = autoLaunch;
        m_delegate->projectStore()->add(p);
        return p;
    }

    bool markerExists() const {
        return QFile::exists(m_tmux->scratchDir() + QStringLiteral("/launched-marker"));
    }

    void configureServer() {
        Settings::write(Settings::serverURL, m_server->baseUrl() + QLatin1Char('/'));
        Settings::write(Settings::agentApiKey, QStringLiteral("qk_test"));
    }

    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<TmuxServer> m_tmux;
    std::unique_ptr<RecordingFrontend> m_frontend;
    std::unique_ptr<AppDelegate> m_delegate;
};

QUILLET_TEST_GUILESS_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
