#include "agent/AgentService.h"
#include "app/XdgAutostartLoginItem.h"
#include "projects/DropCoordinator.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"
#include "ui/ProjectsWindow.h"
#include "ui/QuestionTexts.h"
#include "ui/TrayFrontend.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

using namespace quillet;
using namespace quillet::test;
using State = StatusIcons::State;

namespace {

const QString replyPath = QStringLiteral("/api/sessions/s1/questions/q1/reply");

// A tool that works, then asks once a file named "go" appears in its folder.
const QString askingScript = QStringLiteral(R"(
echo "Building the parser"
while [ ! -e go ]; do sleep 0.02; done
printf 'Proceed? (y/n) '
IFS= read -r answer
echo "Answer: [$answer]"
exec sleep 600
)");

} // namespace

// The windows and the icon against a running engine that watches a real tmux pane and talks to a
// loopback server.
class TestEngineWindows : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<TmuxServer> m_tmux;
    std::unique_ptr<ProjectStore> m_store;
    std::unique_ptr<AgentService> m_engine;
    std::unique_ptr<AuthViewModel> m_model;
    DropCoordinator m_drops;
    XdgAutostartLoginItem m_loginItem{QStringLiteral("/usr/bin/quillet")};

private Q_SLOTS:
    void init() {
        if (TmuxServer::executable().isEmpty())
            QSKIP("tmux is not installed");
        m_server = std::make_unique<FakeServer>();
        serveAgent(*m_server);
        QFile::remove(ProjectStore::defaultFilePath());
        m_store = std::make_unique<ProjectStore>();
        m_engine = std::make_unique<AgentService>();
        m_engine->setProjectStore(m_store.get());
        m_engine->setPollInterval(0.05);
        m_engine->setIdleThreshold(0.2);
        m_model = std::make_unique<AuthViewModel>(APIService::shared());
        m_tmux = std::make_unique<TmuxServer>();
    }
    void cleanup() {
        if (m_engine) {
            m_engine->stop();
            QVERIFY(QTest::qWaitFor([&] { return !m_engine->isLoopActive(); }, 10000));
        }
        m_engine.reset();
        m_tmux.reset();
        m_server.reset();
    }

private Q_SLOTS:
    void iconAndProjectStatusFollowThePane() {
        const Project web = sampleProject(QStringLiteral("Web"), m_tmux->scratchDir());
        m_store->add(web);
        const QString script = m_tmux->writeScript(QStringLiteral("ask"), askingScript);
        const QString pane =
            m_tmux->startSession(QStringLiteral("web"), QStringLiteral("bash ") + script);
        QVERIFY(m_tmux->waitForText(pane, QStringLiteral("Building the parser")));

        TrayFrontend tray(APIService::shared(), m_drops, m_loginItem);
        tray.setServices(m_store.get(), m_engine.get(), m_model.get());
        m_engine->onStateChanged = [&tray] {
            tray.refreshStatus();
            tray.rebuildMenu();
        };
        tray.refreshStatus();
        QCOMPARE(tray.iconState(), State::inactive);
        tray.openMainWindow();
        ProjectsWindow *window = tray.projectsWindow();
        window->select(web.id);
        auto *status = window->findChild<QGroupBox *>(QStringLiteral("statusSection"));
        QVERIFY(!status->isVisibleTo(window));

        m_engine->start(m_server->baseUrl(), QStringLiteral("key"), QStringLiteral("Quillet Mac"));
        // The pane appears: monitoring, the project runs, its status shows.
        QTRY_COMPARE_WITH_TIMEOUT(tray.iconState(), State::monitoring, 10000);
        QVERIFY(status->isVisibleTo(window));
        auto *state = window->findChild<QLabel *>(QStringLiteral("sessionStateLabel"));
        QCOMPARE(state->text(), QStringLiteral("Active"));
        QCOMPARE(tray.menu()->actions().at(2)->text(), QStringLiteral("Web"));
        QVERIFY(tray.menu()->actions().at(2)->menu());

        // It asks and waits.
        QFile go(m_tmux->scratchDir() + QStringLiteral("/go"));
        QVERIFY(go.open(QIODevice::WriteOnly));
        go.close();
        QTRY_COMPARE_WITH_TIMEOUT(tray.iconState(), State::waiting, 10000);
        QTRY_COMPARE(state->text(), QStringLiteral("Waiting for Input"));
        QVERIFY(state->styleSheet().contains(QLatin1String("#e07000")));
        auto *question = window->findChild<QLabel *>(QStringLiteral("pendingQuestionLabel"));
        QVERIFY(question->isVisibleTo(window));
        QCOMPARE(question->text(), QStringLiteral("Proceed? (y/n)"));

        // Answered from the phone: back to monitoring.
        m_server->on("GET", replyPath, FakeResponse::json(200, QJsonObject{{"reply_text", "y"}}));
        QTRY_COMPARE_WITH_TIMEOUT(tray.iconState(), State::monitoring, 10000);
        QVERIFY(m_tmux->waitForText(pane, QStringLiteral("Answer: [y]")));
        QTRY_VERIFY(!question->isVisibleTo(window));

        // The pane vanishes while the engine still runs.
        m_tmux->tmux({QStringLiteral("kill-session"), QStringLiteral("-t"), QStringLiteral("web")});
        QTRY_COMPARE_WITH_TIMEOUT(tray.iconState(), State::inactive, 10000);
        QVERIFY(m_engine->isRunning());
        QTRY_VERIFY(!status->isVisibleTo(window));
        m_engine->onStateChanged = nullptr;
    }

    void stopSessionForgetsThePaneAndClosesIt() {
        const Project api = sampleProject(QStringLiteral("Api"), m_tmux->scratchDir());
        m_store->add(api);
        m_tmux->startSession(QStringLiteral("api"));
        m_server->on("PATCH", QStringLiteral("/api/sessions/s1"), FakeResponse::raw(200, "{}"));

        ProjectsWindow window(*m_store, m_drops, m_engine.get());
        window.select(api.id);
        m_engine->start(m_server->baseUrl(), QStringLiteral("key"), QStringLiteral("Quillet Mac"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_engine->sessions().isEmpty(), 10000);
        // Held still, so the next scan cannot find the pane again before the checks below.
        m_engine->stop();
        QVERIFY(QTest::qWaitFor([&] { return !m_engine->isLoopActive(); }, 10000));
        auto *status = window.findChild<QGroupBox *>(QStringLiteral("statusSection"));
        QTRY_VERIFY(status->isVisibleTo(&window));
        window.findChild<QPushButton *>(QStringLiteral("stopSessionButton"))->click();
        QVERIFY(m_engine->monitoredSessions().isEmpty());
        QVERIFY(!status->isVisibleTo(&window));
        QTRY_COMPARE(m_server->requests("PATCH", QStringLiteral("/api/sessions/s1")).size(), 1);
        QCOMPARE(m_server->requests("PATCH", QStringLiteral("/api/sessions/s1"))
                     .first()
                     .json()["status"]
                     .toString(),
                 QStringLiteral("closed"));
        // Let the client take the answer in before the engine goes (a request cut off by its
        // owner's destruction never resumes its coroutine).
        QTest::qWait(200);
        // The tmux session itself runs on.
        int exitStatus = -1;
        m_tmux->tmux({QStringLiteral("has-session"), QStringLiteral("-t"), QStringLiteral("api")},
                     &exitStatus);
        QCOMPARE(exitStatus, 0);
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestEngineWindows)
#include "tst_enginewindows.moc"
