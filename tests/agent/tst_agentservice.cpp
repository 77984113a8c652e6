#include "agent/AgentClient.h"
#include "agent/AgentService.h"
#include "agent/AgentStateFile.h"
#include "agent/AlertSink.h"
#include "agent/TmuxService.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/Fixtures.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

const QString questionsPath = QStringLiteral("/api/sessions/s1/questions");
const QString replyPath = QStringLiteral("/api/sessions/s1/questions/q1/reply");

// Prints a line, waits for the test's go signal, then asks; prints the answer it read. A moment
// later it clears the screen and asks the same on the same screen once more.
const QString yesNoScript = QStringLiteral(R"(
ask() {
  echo "Building the parser"
  while [ ! -e go ]; do sleep 0.02; done
  echo "Step 2 wants to write src/parser.cpp"
  printf 'Proceed? (y/n) '
  IFS= read -r answer
  echo "Answer: [$answer] len=${#answer}"
}
ask; sleep 1.5; clear; ask
exec sleep 600
)");

// Asks for a line and prints what it read.
const QString lineQuestion = QStringLiteral(R"(
while [ ! -e go ]; do sleep 0.02; done
printf 'Continue? '
IFS= read -r c; echo "Got: [$c] len=${#c}"
exec sleep 600
)");

// Records every byte the pane's program receives, in raw mode with bracketed paste asked for, as
// the agents read; asks a question once "go" exists.
const char recorderScript[] = R"(import os, select, tty
tty.setraw(0)
os.write(1, b"\x1b[?2004hready\r\n")
asked = False
with open("received", "wb") as out:
    while True:
        if not asked and os.path.exists("go"):
            os.write(1, b"Proceed? (y/n) ")
            asked = True
        if select.select([0], [], [], 0.02)[0]:
            out.write(os.read(0, 65536))
            out.flush()
)";

class CountingSink : public AlertSink {
public:
    void playAlertSound() override { ++played; }
    int played = 0;
};

Project project(const QString &name, const QString &session, CodingTool tool) {
    Project p = sampleProject(name, QStringLiteral("/tmp"), tool);
    p.tmuxSessionName = session;
    return p;
}

FakeResponse replyWith(const QString &text) {
    return FakeResponse::json(200, QJsonObject{{QStringLiteral("reply_text"), text}});
}

} // namespace

class TestAgentService : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_server = std::make_unique<FakeServer>();
        serveAgent(*m_server);

        const QString file = TestEnvironment::current()->dataHome() +
                             QStringLiteral("/store%1.json").arg(++m_nextSession);
        m_store = std::make_unique<ProjectStore>(file);
        QDir(QFileInfo(AgentStateFile::defaultPath()).path()).removeRecursively();
        makeEngine();
        m_sink.played = 0;
        m_tmux = std::make_unique<TmuxServer>();
        Settings::write(Settings::notificationSound, true);
        Settings::remove(Settings::watchAllSessions);
    }

    void cleanup() {
        stopEngine();
        TmuxService::setSearchPathsForTesting({TmuxServer::executable()});
        m_engine.reset();
        m_server.reset();
        m_tmux.reset();
        m_store.reset();
    }

    void postsOnceAfterIdleAndTypesTheReply() {
        addProject(QStringLiteral("web"));
        const QString pane = startScript(QStringLiteral("web"), yesNoScript);
        QVERIFY(m_tmux->waitForText(pane, QStringLiteral("Building the parser")));
        // A command poll that takes seconds holds neither the question nor its reply.
        FakeResponse slowCommands = FakeResponse::raw(200, "[]");
        slowCommands.delayMs = 8000;
        m_server->on("GET", QStringLiteral("/api/commands/pending"), slowCommands);
        // A failed post, and a 200 instead of a 201, are tried again on the next scan.
        m_server->enqueue("POST", questionsPath, FakeResponse::raw(500, "{}"));
        m_server->enqueue("POST", questionsPath,
                          FakeResponse::json(200, QJsonObject{{QStringLiteral("id"), "q0"}}));
        LogCapture log;
        QSignalSpy posted(m_engine.get(), &AgentService::questionPosted);
        startAndAsk(log, false);

        QVERIFY(posted.wait(5000));
        const QList<RecordedRequest> questions = m_server->requests("POST", questionsPath);
        QCOMPARE(questions.size(), 3);
        const QJsonObject body = questions.last().json().object();
        QCOMPARE(body.value("question_text").toString(), QStringLiteral("Proceed? (y/n)"));
        QVERIFY(body.value("context").toString().contains(QStringLiteral("Step 2 wants to write")));
        QCOMPARE(m_engine->pendingQuestions().value(pane), QStringLiteral("q1"));
        QCOMPARE(m_engine->monitoredSessions().value(pane).status, SessionStatus::waitingForInput);
        QCOMPARE(m_sink.played, 1);

        // Still and unanswered: a few more scans post nothing new.
        QSignalSpy scans(m_engine.get(), &AgentService::stateChanged);
        QVERIFY(QTest::qWaitFor([&] { return scans.size() >= 6; }));
        QCOMPARE(m_server->requests("POST", questionsPath).size(), 3);

        m_server->enqueue("GET", replyPath, replyWith("y"));
        QVERIFY(m_tmux->waitForText(pane, QStringLiteral("Answer: [y] len=1")));
        QCOMPARE(m_server->requests("GET", QStringLiteral("/api/commands/pending")).size(), 1);
        QVERIFY(QTest::qWaitFor([&] { return m_engine->pendingQuestions().isEmpty(); }));
        QCOMPARE(m_engine->monitoredSessions().value(pane).status, SessionStatus::active);
        QCOMPARE(m_server->requests("GET", replyPath).first().query.toString(),
                 QStringLiteral("timeout=0"));
        // The answered screen is new, its last lines are posted once it is still in turn.
        QVERIFY(posted.wait(5000));
        QCOMPARE(m_server->requests("POST", questionsPath).size(), 4);
        // The same question on the same screen is news again: the screen changed in between.
        QVERIFY(posted.wait(5000));
        const QList<RecordedRequest> all = m_server->requests("POST", questionsPath);
        QCOMPARE(all.size(), 5);
        QCOMPARE(all.last().body, all[2].body);

        // The pane vanishes: its question is expired first, then its session closed.
        const qsizetype before = m_server->requests().size();
        TmuxService::killSession(QStringLiteral("web"));
        QVERIFY(QTest::qWaitFor([&] {
            return !m_server->requests("PATCH", QStringLiteral("/api/sessions/s1")).isEmpty();
        }));
        QVERIFY(!m_engine->monitoredSessions().contains(pane));
        QStringList patches;
        for (const RecordedRequest &r : m_server->requests().mid(before)) {
            if (r.method == "PATCH")
                patches << r.path + ' ' + r.json()["status"].toString();
        }
        QCOMPARE(patches,
                 (QStringList{"/api/sessions/s1/questions/q1 expired", "/api/sessions/s1 closed"}));
    }

    void questionTextIsCapped_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("posted");
        const QString a498(498, QLatin1Char('a'));
        QTest::newRow("longer") << QString(3401, 'a') << QString(499, 'a') + "…";
        QTest::newRow("never half a character") << a498 + "😀😀" << a498 + "…";
    }

    void questionTextIsCapped() {
        QFETCH(QString, text);
        QFETCH(QString, posted);
        QCOMPARE(AgentService::capQuestionText(text), posted);
    }

    // Also: what a pane shows when first seen is old news, never posted. (Launched by this
    // process, it is news: tst_agentpush.)
    void onlyTheProjectsPanesAreRead() {
        // A generic project, and a Claude Code project whose own session does not run.
        m_store->add(project(QStringLiteral("Web"), QStringLiteral("web"), CodingTool::generic));
        m_store->add(
            project(QStringLiteral("Agent"), QStringLiteral("agent"), CodingTool::claudeCode));
        const QString web = startScript(QStringLiteral("web"),
                                        QStringLiteral("printf 'Proceed? (y/n) '\nexec sleep 600"));
        const QString notes = startScript(QStringLiteral("private-notes"), QStringLiteral(R"(
echo "PIN 4711, token tk_secret"
printf 'Unlock the vault? (y/n) '
exec sleep 600
)"));
        const QString claude =
            startScript(QStringLiteral("elsewhere"),
                        QStringLiteral("echo '⏺ Claude Code at work'\nexec sleep 600"));
        QVERIFY(m_tmux->waitForText(claude, QStringLiteral("at work")));
        QVERIFY(m_tmux->waitForText(web, QStringLiteral("Proceed?")));
        Settings::write(Settings::watchAllSessions, false);
        QSignalSpy scans(m_engine.get(), &AgentService::stateChanged);
        startEngine();
        QVERIFY(QTest::qWaitFor([&] { return scans.size() >= 5; }));
        QCOMPARE(m_engine->monitoredSessions().keys(), QStringList{web});

        // On (the default), a Claude Code pane anywhere is its tool's project's; the notes stay
        // unread.
        Settings::remove(Settings::watchAllSessions);
        QVERIFY(QTest::qWaitFor([&] { return m_engine->monitoredSessions().contains(claude); }));
        QCOMPARE(m_engine->monitoredSessions().value(claude).projectName, QStringLiteral("Agent"));
        scans.clear();
        QVERIFY(QTest::qWaitFor([&] { return scans.size() >= 5; }));
        QVERIFY(!m_engine->monitoredSessions().contains(notes));
        for (const RecordedRequest &request : m_server->requests()) {
            QVERIFY2(!request.body.contains("4711") && !request.body.contains("private-notes"),
                     request.body.constData());
        }
        QVERIFY(m_server->requests("POST", questionsPath).isEmpty());
        QCOMPARE(m_sink.played, 0);
    }

    void pendingQuestionAcrossARestart_data() {
        QTest::addColumn<bool>("restart");
        QTest::addColumn<bool>("movedOn");
        QTest::newRow("moved on while watched: the question expires") << false << true;
        QTest::newRow("still asking after a restart: the reply is typed") << true << false;
        QTest::newRow("moved on while stopped: the question expires") << true << true;
    }

    void pendingQuestionAcrossARestart() {
        QFETCH(bool, restart);
        QFETCH(bool, movedOn);
        addProject(QStringLiteral("web"));
        // Gives up waiting on its own once told to.
        const QString pane = startScript(QStringLiteral("web"), QStringLiteral(R"(
while [ ! -e go ]; do sleep 0.02; done
printf 'Proceed? (y/n) '
while [ ! -e later ]; do
  if IFS= read -r -t 0.05 a; then echo "Answer: [$a]"; exec sleep 600; fi
done
echo; echo "Going on without an answer"
exec sleep 600
)"));
        LogCapture log;
        startAndAsk(log);
        const QString stateFile = AgentStateFile::defaultPath();
        QCOMPARE(QFile::permissions(stateFile), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ReadUser | QFileDevice::WriteUser);

        if (restart) {
            stopEngine();
            m_engine.reset();
        }
        if (movedOn) {
            touch(QStringLiteral("later"));
            QVERIFY(m_tmux->waitForText(pane, QStringLiteral("Going on")));
        }
        if (restart) {
            makeEngine();
            startEngine();
        }
        const QString questionPath = QStringLiteral("/api/sessions/s1/questions/q1");
        if (movedOn) {
            QVERIFY(QTest::qWaitFor([&] { return m_engine->pendingQuestions().isEmpty(); }));
            QCOMPARE(m_engine->monitoredSessions().value(pane).status, SessionStatus::active);
            QVERIFY(QTest::qWaitFor(
                [&] { return !m_server->requests("PATCH", questionPath).isEmpty(); }));
        }
        // A few more scans: expired once, not again.
        QSignalSpy scans(m_engine.get(), &AgentService::stateChanged);
        QVERIFY(QTest::qWaitFor([&] { return scans.size() >= 3; }));
        if (movedOn) {
            const auto expiries = m_server->requests("PATCH", questionPath);
            QCOMPARE(expiries.size(), 1);
            QCOMPARE(expiries.first().json()["status"].toString(), QStringLiteral("expired"));
            // The question's line is still there: the change of screen decides, not its text.
            QVERIFY(m_tmux->capture(pane).contains(QStringLiteral("Proceed? (y/n)")));
        } else {
            QCOMPARE(m_engine->pendingQuestions().value(pane), QStringLiteral("q1"));
            QVERIFY(m_server->requests("PATCH", questionPath).isEmpty());
            QCOMPARE(m_server->requests("POST", questionsPath).size(), 1);
            m_server->on("GET", replyPath, replyWith("y"));
            QVERIFY(m_tmux->waitForText(pane, QStringLiteral("Answer: [y]")));
        }
        QCOMPARE(m_server->requests("POST", QStringLiteral("/api/sessions")).size(), 1);

        // A damaged file is set aside, and the engine starts afresh.
        stopEngine();
        m_engine.reset();
        QFile damaged(stateFile);
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write("{\"panes\": [");
        damaged.close();
        makeEngine();
        startEngine();
        QCOMPARE(QDir(QFileInfo(stateFile).path())
                     .entryList({QStringLiteral("agent-state.json.corrupt-*")})
                     .size(),
                 1);
        QVERIFY(m_engine->monitoredSessions().isEmpty());
    }

    void replyTyping_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("expectedScreen");
        QTest::addColumn<QString>("unexpectedScreen");
        // The reply is on its way when the screen moves on ("tick" is made at its request).
        QTest::addColumn<bool>("late");

        // Like the agents' numbered menus: the digit answers by itself, then a second question.
        const QString instantMenu = QStringLiteral(R"(
while [ ! -e go ]; do sleep 0.02; done
echo "Which database?"; echo "1. SQLite"; echo "2. Postgres"
IFS= read -r -s -n 1 c; echo "Chose: [$c]"
printf 'Name of the table? '; IFS= read -r t; echo "Table: [$t]"
exec sleep 600
)");
        // A menu that waits for its line: the digit alone leaves the question on screen.
        const QString lineMenu = QStringLiteral(R"(
while [ ! -e go ]; do sleep 0.02; done
echo "Trust this folder?"; echo "1. Yes"; echo "2. No"
IFS= read -r c; echo "Chose: [$c]"
exec sleep 600
)");
        // Redraws once "tick" exists, then reads a line.
        const QString redrawn = QStringLiteral(R"(
while [ ! -e go ]; do sleep 0.02; done
printf 'Proceed? (y/n) '
while [ ! -e tick ]; do sleep 0.02; done
echo; echo "redrawn"
IFS= read -r a; echo "Typed: [$a]"
exec sleep 600
)");
        QTest::newRow("menu answers on the digit") << instantMenu << "1"
                                                   << "Chose: [1]"
                                                   << "Table: []" << false;
        QTest::newRow("menu waits for Enter") << lineMenu << "1"
                                              << "Chose: [1]"
                                              << "" << false;
        QTest::newRow("tab") << lineQuestion << "\t"
                             << "len=1"
                             << "" << false;
        QTest::newRow("digit, no menu") << lineQuestion << "2"
                                        << "Got: [2] len=1"
                                        << "" << false;
        QTest::newRow("nothing but control characters: no Enter alone")
            << lineQuestion << "\u0003\u001b"
            << ""
            << "Got:" << false;
        QTest::newRow("the screen moved meanwhile: dropped") << redrawn << "y"
                                                             << "redrawn"
                                                             << "Typed:" << true;
    }

    void replyTyping() {
        QFETCH(QString, script);
        QFETCH(QString, reply);
        QFETCH(QString, expectedScreen);
        QFETCH(QString, unexpectedScreen);
        QFETCH(bool, late);
        addProject(QStringLiteral("web"));
        const QString pane = startScript(QStringLiteral("web"), script);
        LogCapture log;
        startAndAsk(log);
        FakeResponse answer = replyWith(reply);
        answer.delayMs = late ? 400 : 0;
        m_server->enqueue("GET", replyPath, answer);
        connect(m_server.get(), &FakeServer::requestRecorded, this,
                [this](const RecordedRequest &r) {
                    if (r.path == replyPath)
                        touch(QStringLiteral("tick"));
                });
        QVERIFY2(m_tmux->waitForText(pane, expectedScreen), qPrintable(m_tmux->capture(pane)));
        QVERIFY(QTest::qWaitFor([&] { return m_engine->pendingQuestions().isEmpty(); }));
        if (!unexpectedScreen.isEmpty()) {
            QTest::qWait(800);
            QVERIFY2(!m_tmux->capture(pane).contains(unexpectedScreen),
                     qPrintable(m_tmux->capture(pane)));
        }
    }

    void onlyTextReachesThePaneAndFailuresAreRetried() {
        QFile recorder(m_tmux->scratchDir() + QStringLiteral("/recorder.py"));
        QVERIFY(recorder.open(QIODevice::WriteOnly));
        recorder.write(recorderScript);
        recorder.close();
        const QString received = m_tmux->scratchDir() + QStringLiteral("/received");
        const auto receivedBytes = [&] { return fileBytes(received); };
        // tmux as the engine sees it: typing fails while "fail" exists, as into a pane that is
        // gone; listing dies while "nolist" exists, as a busy tmux killed at its time limit.
        const QString fail = m_tmux->scratchDir() + QStringLiteral("/fail");
        const QString nolist = m_tmux->scratchDir() + QStringLiteral("/nolist");
        TmuxService::setSearchPathsForTesting({m_tmux->writeScript(
            QStringLiteral("faulty-tmux"),
            QStringLiteral(
                "case \"$1\" in send-keys|load-buffer|paste-buffer) [ -e '%1' ] && exit 1;; "
                "list-panes) [ -e '%2' ] && kill -9 $$;; esac\nexec '%3' \"$@\"\n")
                .arg(fail, nolist, TmuxServer::executable()))});
        addProject(QStringLiteral("web"));
        const QString pane =
            startScript(QStringLiteral("web"), QStringLiteral("exec python3 recorder.py"));
        QVERIFY(m_tmux->waitForText(pane, QStringLiteral("ready")));

        // The server offers each input until it is acknowledged.
        const QString long100k = QString(QStringLiteral("0123456789")).repeated(10000);
        QJsonArray inputs{
            QJsonObject{{"id", "i1"}, {"input_text", "y\ntouch /tmp/x"}},
            QJsonObject{{"id", "i2"},
                        {"input_text", "a\u001b[31mb\u0004c\u0015d\u007fe\rf\u0085g"}},
            QJsonObject{{"id", "i3"}, {"input_text", "\u0003"}},
            QJsonObject{{"id", "i4"}, {"key", "Escape"}, {"input_text", "ignored"}},
            QJsonObject{{"id", "i5"}, {"key", "Ctrl-C"}},
            QJsonObject{{"id", "i6"}, {"key", "rm -rf ~"}},
            QJsonObject{{"id", "i7"}, {"input_text", long100k}},
            QJsonObject{{"id", "i8"}, {"input_text", "done\r\n"}},
        };
        auto acked = std::make_shared<QStringList>();
        m_server->on("GET", QRegularExpression(QStringLiteral("/api/sessions/s1/inputs")),
                     [inputs, acked](const RecordedRequest &) {
                         QJsonArray open;
                         for (const QJsonValue &input : inputs)
                             if (!acked->contains(input["id"].toString()))
                                 open.append(input);
                         return FakeResponse::json(200, open);
                     });
        m_server->on("PATCH", QRegularExpression(QStringLiteral("/api/sessions/s1/inputs/.*")),
                     [acked](const RecordedRequest &r) {
                         acked->append(r.path.section('/', -1));
                         return FakeResponse::raw(200, "{}");
                     });

        touch(QStringLiteral("fail"));
        LogCapture log;
        QSignalSpy scans(m_engine.get(), &AgentService::stateChanged);
        startEngine();
        QVERIFY(QTest::qWaitFor([&] { return scans.size() >= 3; }));
        QVERIFY(acked->isEmpty());
        QVERIFY(receivedBytes().isEmpty());

        QVERIFY(QFile::remove(fail));
        QVERIFY(QTest::qWaitFor([&] { return acked->size() == 8; }, 15000));
        const QByteArray start = "\x1b[200~", end = "\x1b[201~";
        const QByteArray inputBytes = start + "y\rtouch /tmp/x" + end + '\r' + start +
                                      "a[31mbcde\rfg" + end + '\r' + "\x1b" + "\x03" + start +
                                      long100k.toLatin1() + end + '\r' + "done\r";
        QTRY_COMPARE(receivedBytes(), inputBytes);
        QCOMPARE(*acked, (QStringList{"i1", "i2", "i3", "i4", "i5", "i6", "i7", "i8"}));

        // A reply is one line, typed whatever its length, and kept until it could be typed.
        touch(QStringLiteral("fail"));
        touch(QStringLiteral("go"));
        QVERIFY(QTest::qWaitFor([&] { return !m_engine->pendingQuestions().isEmpty(); }));
        const QString tail = QString(16500, QLatin1Char('r'));
        m_server->on(
            "GET", replyPath,
            FakeResponse::json(200, QJsonObject{{QStringLiteral("reply_text"),
                                                 "y\ntouch /tmp/x\u0003 " + tail + "\n"}}));
        scans.clear();
        QVERIFY(QTest::qWaitFor([&] { return scans.size() >= 3; }));
        QCOMPARE(m_engine->pendingQuestions().value(pane), QStringLiteral("q1"));
        QCOMPARE(receivedBytes(), inputBytes);
        // A failed listing is no proof the pane is gone: the question stays, unexpired.
        touch(QStringLiteral("nolist"));
        const auto failedListings = [&] {
            return log.matching(QStringLiteral("Pane listing failed"));
        };
        QVERIFY(QTest::qWaitFor([&] { return failedListings().size() >= 2; }));
        QCOMPARE(m_engine->pendingQuestions().value(pane), QStringLiteral("q1"));
        QVERIFY(
            m_server->requests("PATCH", QStringLiteral("/api/sessions/s1/questions/q1")).isEmpty());
        QVERIFY(m_server->requests("PATCH", QStringLiteral("/api/sessions/s1")).isEmpty());
        QVERIFY(QFile::remove(nolist));
        QVERIFY(QFile::remove(fail));
        QVERIFY(QTest::qWaitFor([&] { return m_engine->pendingQuestions().isEmpty(); }));
        const QByteArray replyBytes = start + "y touch /tmp/x " + tail.toLatin1() + end + '\r';
        QTRY_COMPARE(receivedBytes(), inputBytes + replyBytes);
        QCOMPARE(log.matching(QStringLiteral("Injected reply: y touch /tmp/x r")).size(), 1);
    }

    void commands_data() {
        QTest::addColumn<QByteArray>("queue");     // "%ID%" stands for the project's id
        QTest::addColumn<QStringList>("expected"); // requests after the poll, "METHOD path body"

        const QString pending = QStringLiteral("GET /api/commands/pending");
        const QString put = QStringLiteral("PUT /api/projects");
        const auto ack = [](const QString &status, const QString &error = {}) {
            QString body = QStringLiteral(R"({"status":"%1"})").arg(status);
            if (!error.isEmpty())
                body = QStringLiteral(R"({"error_message":"%1","status":"%2"})").arg(error, status);
            return QStringLiteral("PATCH /api/commands/c1 ") + body;
        };
        QTest::newRow("launch")
            << QByteArray(R"([{"id":"c1","project_id":"%ID%","command_type":"launch"}])")
            << QStringList{pending, ack("delivered"), ack("success"), put};
        QTest::newRow("lower-case id")
            << QByteArray(R"([{"id":"c1","project_id":"%id%","command_type":"launch"}])")
            << QStringList{pending, ack("failed", "Project not found locally"), put};
        QTest::newRow("unknown type")
            << QByteArray(R"([{"id":"c1","project_id":"%ID%","command_type":"reboot"}])")
            << QStringList{pending, ack("delivered"), ack("failed", "Unknown command type: reboot"),
                           put};
    }

    void commands() {
        QFETCH(QByteArray, queue);
        QFETCH(QStringList, expected);
        const Project p = addProject(QStringLiteral("web"));
        queue.replace("%ID%", p.idText().toUtf8()).replace("%id%", p.idText().toLower().toUtf8());
        m_server->on("GET", QStringLiteral("/api/commands/pending"), FakeResponse::raw(200, queue));
        connectClient();

        // Delivered before it runs: a launch that never ends is not run again. (The launch
        // itself, through a real relay: tst_RelayEndToEnd.)
        m_engine->onLaunchProject = [&](const Project &) {
            QCOMPARE(m_server->requests().size(), 2);
        };
        awaitTask(m_engine->pollCommands());

        QStringList requests;
        for (const RecordedRequest &r : m_server->requests()) {
            QString line = QString::fromUtf8(r.method) + ' ' + r.path;
            if (r.method == "PATCH")
                line += ' ' + QString::fromUtf8(r.json().toJson(QJsonDocument::Compact));
            requests << line;
        }
        QCOMPARE(requests, expected);
    }

    // The projects as the phone lists them: every member, the id upper-case, "is_running" from
    // an exact session name ("web-old" only starts with "web"); none at all is an empty list.
    void syncPayload() {
        Project api = project(QStringLiteral("API"), QStringLiteral("api"), CodingTool::codex);
        api.autoLaunch = true;
        api.launchCommand.clear();
        const Project web =
            project(QStringLiteral("Web"), QStringLiteral("web"), CodingTool::claudeCode);
        m_store->add(api);
        m_store->add(web);
        startScript(QStringLiteral("api"), QStringLiteral("exec sleep 600"));
        startScript(QStringLiteral("web-old"), QStringLiteral("exec sleep 600"));
        connectClient();
        awaitTask(m_engine->syncProjects());
        const auto entry = [](const Project &p, bool running) {
            return QJsonObject{{"id", p.idText()},
                               {"name", p.name},
                               {"directory", p.directory},
                               {"tmux_session_name", p.tmuxSessionName},
                               {"launch_command", p.launchCommand},
                               {"tool", p.tool == CodingTool::codex ? "codex" : "claude-code"},
                               {"auto_launch", p.autoLaunch},
                               {"is_running", running}};
        };
        QCOMPARE(m_server->requests().last().json().object(),
                 (QJsonObject{{"projects", QJsonArray{entry(api, true), entry(web, false)}}}));

        m_store->remove(api.id);
        m_store->remove(web.id);
        awaitTask(m_engine->syncProjects());
        QCOMPARE(m_server->requests().last().json().object(),
                 (QJsonObject{{"projects", QJsonArray()}}));
    }

    void serverFaultsNeverStopTheLoop() {
        addProject(QStringLiteral("web"));
        const QString pane = startScript(QStringLiteral("web"), yesNoScript);
        touch(QStringLiteral("go"));
        m_engine->client().setTimeouts(200ms, 200ms);
        // Wrong types, malformed JSON, a hang and a huge body, in turns.
        FakeResponse hang = FakeResponse::raw(200, "[]");
        hang.delayMs = 1000;
        const QList<FakeResponse> faults{FakeResponse::raw(200, R"({"id":5})"),
                                         FakeResponse::raw(200, "[{\"id\":"), hang,
                                         FakeResponse::raw(200, QByteArray(9 * 1024 * 1024, '['))};
        auto turn = std::make_shared<int>(0);
        m_server->on("GET", QRegularExpression(QStringLiteral("/.*")),
                     [turn, faults](const RecordedRequest &) { return faults[(*turn)++ % 4]; });
        m_server->on("POST", QStringLiteral("/api/sessions"),
                     FakeResponse::raw(201, R"({"id":["s1"]})"));
        QSignalSpy scans(m_engine.get(), &AgentService::stateChanged);
        startEngine();
        QVERIFY(QTest::qWaitFor([&] { return scans.size() >= 3; }, 10000));
        QVERIFY(m_engine->sessions().isEmpty());
        m_server->on("POST", QStringLiteral("/api/sessions"),
                     FakeResponse::raw(201, R"({"id":"s1"})"));
        QVERIFY(QTest::qWaitFor([&] { return m_engine->sessions().contains(pane); }, 10000));
        QVERIFY(m_engine->isRunning());
    }

private:
    // Runs the bash program `script` in a new session; returns its pane target.
    QString startScript(const QString &session, const QString &script) {
        const QString file =
            m_tmux->writeScript(QStringLiteral("script%1").arg(++m_scripts), script);
        return m_tmux->startSession(session, QStringLiteral("bash ") + file);
    }
    // Creates the file a script waits on.
    void touch(const QString &name) const {
        QFile file(m_tmux->scratchDir() + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    void makeEngine() {
        m_engine = std::make_unique<AgentService>();
        m_engine->setProjectStore(m_store.get());
        m_engine->setPollInterval(0.05);
        m_engine->setIdleThreshold(0.2);
        m_engine->setAlertSink(&m_sink);
    }

    void startEngine() {
        m_engine->start(m_server->baseUrl(), QStringLiteral("qk_test"),
                        QStringLiteral("Quillet Mac"));
    }

    // Starts the engine, lets it see the screen, then has the script ask ("go") and, when
    // `untilPending`, waits until the question is posted.
    void startAndAsk(const LogCapture &log, bool untilPending = true) {
        startEngine();
        QVERIFY(QTest::qWaitFor([&] { return log.contains(QStringLiteral("seeding baseline")); }));
        touch(QStringLiteral("go"));
        if (untilPending)
            QVERIFY(QTest::qWaitFor([&] { return !m_engine->pendingQuestions().isEmpty(); }));
    }

    // For the calls a test makes itself, without the loop.
    void connectClient() {
        m_engine->client().setServerUrl(m_server->baseUrl());
        m_engine->client().setApiKey(QStringLiteral("k"));
    }

    void stopEngine() {
        if (!m_engine)
            return;
        m_engine->stop();
        QVERIFY(QTest::qWaitFor([&] { return !m_engine->isLoopActive(); }, 10000));
    }
    // The one project every pane belongs to (generic: every pane of the private server).
    Project addProject(const QString &session, CodingTool tool = CodingTool::generic) {
        const Project p = project(QStringLiteral("Web app"), session, tool);
        m_store->add(p);
        return p;
    }

    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<ProjectStore> m_store;
    std::unique_ptr<AgentService> m_engine;
    std::unique_ptr<TmuxServer> m_tmux;
    int m_scripts = 0;
    CountingSink m_sink;
    int m_nextSession = 0;
};

QUILLET_TEST_GUILESS_MAIN(TestAgentService)
#include "tst_agentservice.moc"
