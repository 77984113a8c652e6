#include "agent/TmuxService.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/FakeServer.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QJsonObject>
#include <QProcess>
#include <csignal>

using namespace quillet;
using namespace quillet::test;

namespace {

const QString askScript = QStringLiteral(R"(
echo "Refactoring the parser"
while [ ! -e go ]; do sleep 0.05; done
printf 'Proceed? (y/n) '
IFS= read -r answer
echo "Answer: [$answer]"
exec sleep 600
)");

} // namespace

class TestAgentCommand : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        QFile::remove(ProjectStore::defaultFilePath());
        Settings::remove(Settings::serverURL);
        Settings::remove(Settings::agentApiKey);
        m_server = std::make_unique<FakeServer>();
        serveAgent(*m_server);
        m_tmux = std::make_unique<TmuxServer>();
    }

    void cleanup() {
        m_stderr.clear();
        if (m_agent && m_agent->state() != QProcess::NotRunning) {
            m_agent->kill();
            m_agent->waitForFinished();
        }
        m_agent.reset();
        m_tmux.reset();
        m_server.reset();
    }

    void relaysAQuestionAndStopsOnSigterm() {
        Settings::write(Settings::serverURL, m_server->baseUrl());
        Settings::write(Settings::agentApiKey, QStringLiteral("qk_test"));
        addProject(QStringLiteral("work"));
        const QString pane =
            m_tmux->startSession(QStringLiteral("work"),
                                 QStringLiteral("bash ") + m_tmux->writeScript("ask", askScript));
        QVERIFY(m_tmux->waitForText(pane, QStringLiteral("Refactoring")));
        startAgent();

        // The first scan has seen the screen once its pane has a server session.
        QVERIFY(QTest::qWaitFor(
            [&] { return !m_server->requests("POST", "/api/sessions").isEmpty(); }, 15000));
        QFile go(m_tmux->scratchDir() + QStringLiteral("/go"));
        QVERIFY(go.open(QIODevice::WriteOnly));
        QVERIFY(QTest::qWaitFor(
            [&] { return !m_server->requests("POST", "/api/sessions/s1/questions").isEmpty(); },
            20000));
        const RecordedRequest question =
            m_server->requests("POST", "/api/sessions/s1/questions").first();
        QCOMPARE(question.json()["question_text"].toString(), QStringLiteral("Proceed? (y/n)"));
        QCOMPARE(question.headers.value("authorization"), QByteArray("Bearer qk_test"));

        m_server->on("GET", QStringLiteral("/api/sessions/s1/questions/q1/reply"),
                     FakeResponse::json(200, QJsonObject{{QStringLiteral("reply_text"), "y"}}));
        QVERIFY(
            QTest::qWaitFor([&] { return m_tmux->capture(pane).contains("Answer: [y]"); }, 15000));

        stopAgent(SIGTERM);
        QVERIFY(TmuxService::sessionExists(QStringLiteral("work")));
    }

    void withoutServerItWaitsAndStopsOnSigint() {
        addProject(QStringLiteral("work"));
        m_tmux->startSession(QStringLiteral("work"));
        startAgent();
        // The recovery finds the session but cannot start the monitor.
        QVERIFY(QTest::qWaitFor(
            [&] {
                m_stderr += m_agent->readAllStandardError();
                return m_stderr.contains(
                    "Cannot start agent: server URL or API key not configured");
            },
            10000));
        QVERIFY(m_stderr.contains("Recovering session for project: work"));
        stopAgent(SIGINT);
        QVERIFY(m_server->requests().isEmpty());
        QVERIFY(TmuxService::sessionExists(QStringLiteral("work")));
    }

private:
    void addProject(const QString &session) {
        Project p = sampleProject(QStringLiteral("Work"), m_tmux->scratchDir());
        p.tmuxSessionName = session;
        ProjectStore().add(p);
    }

    void startAgent() {
        m_agent = std::make_unique<QProcess>();
        m_agent->setProgram(QStringLiteral(QUILLET_BINARY));
        m_agent->setArguments({QStringLiteral("agent")});
        m_agent->start();
        QVERIFY(m_agent->waitForStarted());
    }
    // Sends `signalNumber` and expects a clean exit with status 0.
    void stopAgent(int signalNumber) {
        QVERIFY(::kill(m_agent->processId(), signalNumber) == 0);
        QVERIFY(QTest::qWaitFor([&] { return m_agent->state() == QProcess::NotRunning; }, 15000));
        m_stderr += m_agent->readAllStandardError();
        const QString log = QString::fromUtf8(m_stderr);
        QCOMPARE(m_agent->exitStatus(), QProcess::NormalExit);
        QVERIFY2(m_agent->exitCode() == 0, qPrintable(log));
        QVERIFY2(log.contains(QStringLiteral("tmux sessions keep running")), qPrintable(log));
    }

    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<TmuxServer> m_tmux;
    std::unique_ptr<QProcess> m_agent;
    QByteArray m_stderr;
};

QUILLET_TEST_GUILESS_MAIN(TestAgentCommand)
#include "tst_agentcommand.moc"
