#include "agent/TmuxService.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QFile>
#include <QFileInfo>
#include <QtConcurrent>
#include <cerrno>
#include <csignal>

using namespace quillet;
using quillet::test::TmuxServer;

namespace {

QString readFile(const QString &path) {
    return QString::fromUtf8(quillet::test::fileBytes(path));
}

} // namespace

class TestTmuxService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_tmux = TmuxServer::executable();
        if (m_tmux.isEmpty())
            QSKIP("tmux is not installed");
        QVERIFY(qEnvironmentVariableIsEmpty("TMUX"));
    }

    void cleanup() { TmuxService::setSearchPathsForTesting({m_tmux}); }

    // A missing, a chatty, a broken and a hung tmux.
    void faultyTmux() {
        TmuxServer server;
        const QString dir = server.scratchDir();
        TmuxService::setSearchPathsForTesting({QStringLiteral("/nonexistent/bin/tmux")});
        QCOMPARE(TmuxService::tmuxPath(), std::nullopt);
        QVERIFY(TmuxService::listPanes().isEmpty());
        QVERIFY(!TmuxService::sendText(QStringLiteral("s:0.0"), QStringLiteral("y")));

        // Far more than a pipe holds on both channels: reading only one of them would hang.
        const QString chatty = server.writeScript(
            QStringLiteral("chatty"), QStringLiteral("head -c 300000 /dev/zero | tr '\\0' e >&2\n"
                                                     "head -c 1000000 /dev/zero | tr '\\0' o\n"
                                                     "printf 'é\\n'\nexit 3\n"));
        TmuxService::setSearchPathsForTesting({chatty});
        const QString output = TmuxService::run({QStringLiteral("anything")});
        QCOMPARE(output.size(), 1000002);
        QVERIFY(output.endsWith(QStringLiteral("oé\n")));

        const QString pidFile = dir + QStringLiteral("/pid");
        const QString hung = server.writeScript(
            QStringLiteral("hung"),
            QStringLiteral("echo $$ > '%1'\nprintf 'partial'\nexec sleep 600\n").arg(pidFile));
        TmuxService::setSearchPathsForTesting({hung});
        TmuxService::setTimeoutForTesting(300);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^tmux did not finish within 300 ms: "
                                                              "capture-pane -t =s:0.0 -p$"));
        const QString screen = TmuxService::capturePane(QStringLiteral("s:0.0"));
        TmuxService::setTimeoutForTesting(0);
        QCOMPARE(screen, QString());
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const pid_t pid = file.readAll().trimmed().toInt();
        QVERIFY(pid > 0);
        // Killed and reaped: no such process any more.
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(errno, ESRCH);
    }

    void argumentVectors() {
        TmuxServer server;
        const QString log = server.scratchDir() + QStringLiteral("/calls");
        const QString input = server.scratchDir() + QStringLiteral("/input");
        const QString fake = server.writeScript(
            QStringLiteral("tmux"),
            QStringLiteral("for a in \"$@\"; do printf '[%s]' \"$a\"; done >> '%1'\necho >> '%1'\n"
                           "[ \"$1\" = load-buffer ] && cat > '%2'\nexit ${FAKE_STATUS:-0}\n")
                .arg(log, input));
        TmuxService::setSearchPathsForTesting({fake});

        QVERIFY(TmuxService::sendText(QStringLiteral("p:0.1"), QStringLiteral("-rf now")));
        TmuxService::sendLaunchCommand(QStringLiteral("proj"), QStringLiteral("claude --resume"));
        TmuxService::listPanes();
        TmuxService::killSession(QStringLiteral("proj"));
        QCOMPARE(readFile(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                 QStringList(
                     {"[send-keys][-t][=p:0.1][-l][--][-rf now]", "[send-keys][-t][=p:0.1][Enter]",
                      "[display-message][-p][-t][=proj:][#{pane_current_command}]",
                      "[send-keys][-t][=proj:][unset CLAUDECODE && claude --resume][Enter]",
                      "[list-panes][-a][-F][#{session_name}\t#{window_index}.#{pane_index}\t#{"
                      "pane_current_command}\t#{pane_title}]",
                      "[kill-session][-t][=proj]"}));

        // Text far beyond a pipe's or socket's buffer reaches load-buffer whole, without its
        // control characters; the paste takes the buffer that was loaded.
        QFile::remove(log);
        const QString big = QStringLiteral("é\u0007123456789").repeated(100000);
        QVERIFY(TmuxService::pasteText(QStringLiteral("p:0.1"), big));
        QCOMPARE(readFile(input), QString(big).remove(QChar(7)));
        QVERIFY(
            QRegularExpression(
                QStringLiteral(
                    "^\\[load-buffer\\]\\[-b\\]\\[(quillet-[0-9-]+)\\]\\[-\\]\n"
                    "\\[paste-buffer\\]\\[-b\\]\\[\\1\\]\\[-t\\]\\[=p:0.1\\]\\[-d\\]\\[-p\\]\n$"))
                .match(readFile(log))
                .hasMatch());

        // No Enter after text that was not typed.
        QFile::remove(log);
        qputenv("FAKE_STATUS", "1");
        QVERIFY(!TmuxService::sendText(QStringLiteral("p:0.1"), QStringLiteral("y")));
        QVERIFY(!TmuxService::sendKey(QStringLiteral("p:0.1"), QStringLiteral("Tab")));
        qunsetenv("FAKE_STATUS");
        QCOMPARE(readFile(log).count(QLatin1Char('\n')), 2);
    }

    void sessions() {
        TmuxServer server;
        QVERIFY(TmuxService::listSessions().isEmpty()); // no server yet
        const QString directory = server.scratchDir() + QStringLiteral("/project dir");
        QVERIFY(QDir().mkpath(directory));
        QVERIFY(TmuxService::createSession(QStringLiteral("proj"), directory));
        QVERIFY(!server.startSession(QStringLiteral("work2"), QStringLiteral("exec sleep 600"))
                     .isEmpty());
        const QList<TmuxSession> sessions = TmuxService::listSessions();
        QCOMPARE(sessions.size(), 2);
        QCOMPARE(sessions[0].name, QStringLiteral("proj"));
        QCOMPARE(sessions[1].name, QStringLiteral("work2"));
        QVERIFY(!TmuxService::createSession(QStringLiteral("proj:bad"), directory));
        // tmux reads the path from the shell's process, which needs a moment to start.
        const QStringList query{QStringLiteral("display-message"), QStringLiteral("-p"),
                                QStringLiteral("-t"), QStringLiteral("=proj:"),
                                QStringLiteral("#{pane_current_path}")};
        QTRY_COMPARE(server.tmux(query).trimmed(), QFileInfo(directory).canonicalFilePath());

        // tmux alone takes "work" for "work2"; every operation here names sessions exactly.
        int status = -1;
        server.tmux({QStringLiteral("has-session"), QStringLiteral("-t"), QStringLiteral("work")},
                    &status);
        QCOMPARE(status, 0);
        QVERIFY(!TmuxService::sessionExists(QStringLiteral("work")));
        TmuxService::killSession(QStringLiteral("work"));
        QVERIFY(TmuxService::sessionExists(QStringLiteral("work2")));
        QCOMPARE(TmuxService::capturePane(QStringLiteral("work:0.0")), QString());
        QVERIFY(!TmuxService::sendKey(QStringLiteral("work:0.0"), QStringLiteral("C-c")));
        QVERIFY(!TmuxService::sendText(QStringLiteral("work2:7.0"), QStringLiteral("y")));
        // A paste that found no pane leaves no buffer behind.
        QVERIFY(!TmuxService::sendText(QStringLiteral("work2:7.0"), QStringLiteral("two\nlines")));
        QCOMPARE(server.tmux({QStringLiteral("list-buffers")}), QString());
        TmuxService::killSession(QStringLiteral("work2"));
        QVERIFY(!TmuxService::sessionExists(QStringLiteral("work2")));
    }

    void listPanesAndMatching() {
        TmuxServer server;
        const QString sleeper = QStringLiteral("exec sleep 600");
        const QString plain = server.startSession(QStringLiteral("plain"), sleeper);
        const QString bulletScript =
            server.writeScript(QStringLiteral("bullet"),
                               QStringLiteral("printf '⏺ Reading 3 files\\n'\nexec sleep 600\n"));
        const QString bullet = server.startSession(QStringLiteral("bullet"), bulletScript);
        const QString titled = server.startSession(QStringLiteral("titled"), sleeper);
        server.tmux({QStringLiteral("select-pane"), QStringLiteral("-t"), titled,
                     QStringLiteral("-T"), QStringLiteral("build  and  test")});
        QVERIFY(server.waitForText(bullet, QStringLiteral("⏺ Reading")));

        // Every pane of the server, from one listing. (Processes per scan: bench_scan.)
        const QList<TmuxPane> all = TmuxService::listPanes();
        QStringList targets;
        for (const TmuxPane &pane : all)
            targets << pane.paneTarget;
        QCOMPARE(targets, (QStringList{bullet, plain, titled}));
        QCOMPARE(all[2].title, QStringLiteral("build  and  test"));
        QCOMPARE(all[1].command, QStringLiteral("sleep"));

        // The command or the title decides; else the screen. (A Claude Code screen taken for its
        // project: tst_agentservice.)
        QVERIFY(
            TmuxService::paneMatchesTool(CodingTool::codex, QStringLiteral("CODEX"), {}, plain));
        QVERIFY(TmuxService::paneMatchesTool(CodingTool::claudeCode, QStringLiteral("sleep"),
                                             QStringLiteral("my claude code tab"), plain));
        QVERIFY(
            !TmuxService::paneMatchesTool(CodingTool::codex, QStringLiteral("sleep"), {}, bullet));
        QVERIFY(!TmuxService::paneMatchesTool(CodingTool::claudeCode, QStringLiteral("sleep"), {},
                                              QStringLiteral("gone:0.0")));
    }

    // The monitor captures from several worker threads at once. (Typing into panes is checked
    // end to end by the engine's reply table.)
    void concurrentCaptures() {
        TmuxServer server;
        const QString pane =
            server.startAsking(QStringLiteral("reader"), QStringLiteral("Proceed? (y/n)"));
        QVERIFY(server.waitForText(pane, QStringLiteral("Proceed? (y/n)")));
        const QStringList screens =
            QtConcurrent::blockingMapped(QStringList(16, pane), &TmuxService::capturePane);
        QCOMPARE(screens.size(), 16);
        for (const QString &screen : screens)
            QVERIFY(screen.startsWith(QStringLiteral("Proceed? (y/n)\n")));
    }

    void claudeCodeMarker_data() {
        QTest::addColumn<QString>("shell");
        QTest::newRow("sh") << QStringLiteral("/bin/sh");
        QTest::newRow("fish") << QStringLiteral("/usr/bin/fish");
    }

    void claudeCodeMarker() {
        QFETCH(QString, shell);
        if (!QFileInfo(shell).isExecutable())
            QSKIP(
                qPrintable(shell + QStringLiteral(" is not installed (scripts/install-deps.sh)")));
        // The server takes its environment, and its sessions' shell, from the client that starts
        // it: start it with the marker, as it is when Quillet itself was started from inside
        // Claude Code.
        const QByteArray userShell = qgetenv("SHELL");
        qputenv("SHELL", shell.toUtf8());
        qputenv("CLAUDECODE", "1");
        TmuxServer server;
        QVERIFY(TmuxService::createSession(QStringLiteral("agent"), server.scratchDir()));
        qunsetenv("CLAUDECODE");
        qputenv("SHELL", userShell);

        QCOMPARE(server
                     .tmux({QStringLiteral("show-environment"), QStringLiteral("-t"),
                            QStringLiteral("=agent"), QStringLiteral("CLAUDECODE")})
                     .trimmed(),
                 QStringLiteral("-CLAUDECODE"));
        // The first pane's shell was started before the marker was removed: the launch prefix
        // clears it there, in that shell's own words.
        QVERIFY(QTest::qWaitFor(
            [&] { return !server.capture(QStringLiteral("=agent:0")).trimmed().isEmpty(); }));
        TmuxService::sendLaunchCommand(
            QStringLiteral("agent"),
            QStringLiteral("printenv CLAUDECODE || printf 'launched=%s\\n' unset"));
        QVERIFY2(server.waitForText(QStringLiteral("=agent:0"), QStringLiteral("launched=unset")),
                 qPrintable(server.capture(QStringLiteral("=agent:0"))));
    }

private:
    QString m_tmux;
};

QUILLET_TEST_GUILESS_MAIN(TestTmuxService)
#include "tst_tmuxservice.moc"
