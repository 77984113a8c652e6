#include "agent/TmuxService.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QProcess>
#include <csignal>

using namespace quillet;
using namespace quillet::test;

// `quillet agent` as a process; the relay end to end, with a question answered and SIGTERM, is in
// tests/server.
class TestAgentCommand : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void withoutServerItWaitsAndStopsOnSigint() {
        Settings::remove(Settings::serverURL);
        Settings::remove(Settings::agentApiKey);
        TmuxServer tmux;
        Project work = sampleProject(QStringLiteral("Work"), tmux.scratchDir());
        ProjectStore().add(work);
        tmux.startSession(work.tmuxSessionName);
        QProcess agent;
        agent.start(QStringLiteral(QUILLET_BINARY), {QStringLiteral("agent")});
        QVERIFY(agent.waitForStarted());
        // The recovery finds the session but cannot start the monitor.
        QByteArray log;
        QVERIFY(QTest::qWaitFor(
            [&] {
                log += agent.readAllStandardError();
                return log.contains("Cannot start agent: server URL or API key not configured");
            },
            10000));

        QVERIFY(::kill(agent.processId(), SIGINT) == 0);
        QVERIFY(agent.waitForFinished(15000));
        log += agent.readAllStandardError();
        QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
        QVERIFY2(agent.exitCode() == 0, log.constData());
        QVERIFY(TmuxService::sessionExists(QStringLiteral("work")));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestAgentCommand)
#include "tst_agentcommand.moc"
