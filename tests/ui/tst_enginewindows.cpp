#include "agent/AgentService.h"
#include "agent/TmuxService.h"
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
        m_server->on("PATCH", QStringLiteral("/api/sessions/s1"), FakeResponse::raw(200, "{}"));

        TrayFrontend tray(APIService::shared(), m_drops, m_loginItem);
        tray.setServices(m_store.get(), m_engine.get(), m_model.get());
        m_engine->onStateChanged = [&tray] {
            tray.refreshStatus();
            tray.rebuildMenu();
        };
        tray.openMainWindow();
        ProjectsWindow *window = tray.projectsWindow();
        window->select(web.id);
        auto *status = window->findChild<QGroupBox *>(QStringLiteral("statusSection"));
        QVERIFY(!status->isVisibleTo(window));

        m_engine->start(m_server->baseUrl(), QStringLiteral("key"), QStringLiteral("Quillet Mac"));
        // The pane appears: monitoring, the project runs, its status shows.
        QTRY_COMPARE_WITH_TIMEOUT(tray.iconState(), State::monitoring, 10000);
        QVERIFY(status->isVisibleTo(window));

        // It asks and waits.
        QFile go(m_tmux->scratchDir() + QStringLiteral("/go"));
        QVERIFY(go.open(QIODevice::WriteOnly));
        go.close();
        QTRY_COMPARE_WITH_TIMEOUT(tray.iconState(), State::waiting, 10000);
        auto *state = window->findChild<QLabel *>(QStringLiteral("sessionStateLabel"));
        QTRY_COMPARE(state->text(), QStringLiteral("Waiting for Input"));
        auto *question = window->findChild<QLabel *>(QStringLiteral("pendingQuestionLabel"));
        QCOMPARE(question->text(), QStringLiteral("Proceed? (y/n)"));

        // Answered from the phone: back to monitoring.
        m_server->on("GET", replyPath, FakeResponse::json(200, QJsonObject{{"reply_text", "y"}}));
        QTRY_COMPARE_WITH_TIMEOUT(tray.iconState(), State::monitoring, 10000);
        QVERIFY(m_tmux->waitForText(pane, QStringLiteral("Answer: [y]")));
        QTRY_VERIFY(!question->isVisibleTo(window));

        // Stop Session forgets the pane and closes its server session; held still, so that no
        // scan finds the pane again first. The tmux session itself runs on.
        m_engine->onStateChanged = nullptr;
        m_engine->stop();
        QVERIFY(QTest::qWaitFor([&] { return !m_engine->isLoopActive(); }, 10000));
        window->findChild<QPushButton *>(QStringLiteral("stopSessionButton"))->click();
        QVERIFY(m_engine->monitoredSessions().isEmpty());
        QVERIFY(!status->isVisibleTo(window));
        tray.refreshStatus();
        QCOMPARE(tray.iconState(), State::inactive);
        QTRY_COMPARE(m_server->requests("PATCH", QStringLiteral("/api/sessions/s1")).size(), 1);
        QCOMPARE(m_server->requests("PATCH", QStringLiteral("/api/sessions/s1"))[0].json().object(),
                 (QJsonObject{{"status", "closed"}}));
        // Let the client take the answer in before the engine goes (a request cut off by its
        // owner's destruction never resumes its coroutine).
        QTest::qWait(200);
        QVERIFY(TmuxService::sessionExists(QStringLiteral("web")));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestEngineWindows)
#include "tst_enginewindows.moc"
