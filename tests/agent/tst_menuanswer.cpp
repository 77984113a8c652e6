#include "agent/MenuAnswer.h"
#include "agent/ScreenAnalysis.h"
#include "support/AwaitTask.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

using namespace quillet;
using quillet::test::TmuxServer;

class TestMenuAnswer : public QObject {
    Q_OBJECT

private slots:
    // A menu like the agents' newest dialogs, in a private tmux: a digit is no key it knows, so the
    // answer must move the cursor; and where the cursor does not follow, Enter must not be pressed.
    void choosesWithArrowsAndChecksBeforeEnter() {
        if (TmuxServer::executable().isEmpty())
            QSKIP("tmux is not installed");
        TmuxServer server;
        const QString program = QStringLiteral("python3 " QUILLET_TEST_SUPPORT_DIR "/menu.py");
        const QString pane = server.startSession(QStringLiteral("menu"), program);
        QVERIFY(server.waitForText(pane, QStringLiteral("Enter to select")));
        const QString screen = server.capture(pane);
        QCOMPARE(ScreenAnalysis::questionText(screen),
                 QStringLiteral("Pick a colour for the theme"));

        QVERIFY(!test::awaitTask(MenuAnswer::choose(pane, 4, screen))); // no fourth option
        QVERIFY(test::awaitTask(MenuAnswer::choose(pane, 3, screen)));
        QVERIFY(server.waitForText(pane, QStringLiteral("chose: Blue")));

        const QString stuckPane =
            server.startSession(QStringLiteral("stuck"), program + QStringLiteral(" stuck"));
        QVERIFY(server.waitForText(stuckPane, QStringLiteral("Enter to select")));
        QVERIFY(test::awaitTask(MenuAnswer::choose(stuckPane, 2, server.capture(stuckPane))));
        QTest::qWait(300);
        const QString after = server.capture(stuckPane);
        QVERIFY(after.contains(QStringLiteral("Enter to select")));
        QVERIFY(!after.contains(QStringLiteral("chose:")));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestMenuAnswer)
#include "tst_menuanswer.moc"
