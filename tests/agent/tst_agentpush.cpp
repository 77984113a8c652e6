#include "agent/AgentService.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/HttpClient.h"
#include "support/RelayAccount.h"
#include "support/RelayProcess.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QElapsedTimer>
#include <QSignalSpy>

using namespace quillet;
using namespace quillet::test;

namespace {

// Asks, types back what it got, then takes free text.
const QString askScript = QStringLiteral(R"(
printf 'Proceed? (y/n) '
IFS= read -r answer
echo "Answer: [$answer]"
IFS= read -r more
echo "More: [$more]"
exec sleep 600
)");

} // namespace

// The engine against the real relay and a private tmux server, polling every 3 s: what the phone
// sends reaches the computer between two scans when the relay offers agent events, and still at
// the scans' rhythm when it does not; while the events are held, the scans stop asking for them.
class TestAgentPush : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void phoneReachesThePane_data();
    void phoneReachesThePane();
};

void TestAgentPush::initTestCase() {
    if (TmuxServer::executable().isEmpty())
        QSKIP("tmux is not installed");
}

void TestAgentPush::phoneReachesThePane_data() {
    QTest::addColumn<bool>("offered");
    // Well under the 3 s the next scan is away when the phone sends.
    QTest::addColumn<int>("boundMs");
    QTest::newRow("events") << true << 2000;
    QTest::newRow("polling only") << false << 10000;
}

void TestAgentPush::phoneReachesThePane() {
    QFETCH(bool, offered);
    QFETCH(int, boundMs);
    const QString root = TestEnvironment::current()->root();
    if (!offered)
        qputenv("QUILLET_SERVER_AGENT_EVENTS", "0");
    RelayProcess relay({"--metrics-listen", "127.0.0.1:0"},
                       root + "/" + QTest::currentDataTag() + ".sqlite");
    const bool started = relay.start();
    qunsetenv("QUILLET_SERVER_AGENT_EVENTS");
    QVERIFY(started);
    HttpClient http(relay.baseUrl());
    QCOMPARE(http.get("/api/health").object().value("features").toArray().contains("agent-events"),
             offered);

    const RelayAccount account = RelayAccount::create(relay);
    const QString &key = account.agentKey, &phone = account.phoneToken;
    QVERIFY(!phone.isEmpty());

    const QString events = QStringLiteral("/api/agent/events?timeout=0&after=");
    const qint64 from = http.get(events + "-1", key).object()["cursor"].toInteger();

    TmuxServer tmux;
    ProjectStore store(root + "/" + QTest::currentDataTag() + ".json");
    const Project other = sampleProject("other", tmux.scratchDir());
    store.add(sampleProject("work", tmux.scratchDir()));
    store.add(other);
    const QString pane = tmux.startSession("work", "sh " + tmux.writeScript("ask", askScript));
    QVERIFY(tmux.waitForText(pane, "Proceed?"));

    AgentService engine;
    engine.setProjectStore(&store);
    engine.setPollInterval(3);
    engine.setIdleThreshold(0);
    bool launched = false;
    engine.onLaunchProject = [&launched](const Project &) { launched = true; };
    engine.noteLaunchedSession("work");
    QSignalSpy posted(&engine, &AgentService::questionPosted);
    QSignalSpy scanned(&engine, &AgentService::stateChanged);
    engine.start(relay.baseUrl(), key, "Test");
    QVERIFY(posted.wait(20000));
    const QJsonObject question =
        http.get("/api/questions?status=pending", phone).array().first().toObject();

    // Each step is sent right after a scan, so the next one is 3 s away.
    const auto sendAfterScan = [&](const QString &path, const QJsonObject &body,
                                   const std::function<bool()> &arrived) {
        scanned.clear();
        if (!scanned.wait(10000))
            return qint64(-1);
        QElapsedTimer clock;
        clock.start();
        if (http.json("POST", path, body, phone).status / 100 != 2)
            return qint64(-2);
        return QTest::qWaitFor(arrived, 20000) ? clock.elapsed() : qint64(-3);
    };
    const qint64 reply = sendAfterScan("/api/questions/" + question["id"].toString() + "/reply",
                                       {{"reply_text", "y"}},
                                       [&] { return tmux.capture(pane).contains("Answer: [y]"); });
    const qint64 input =
        sendAfterScan("/api/sessions/" + question["session_id"].toString() + "/inputs",
                      {{"input_text", "ship it"}},
                      [&] { return tmux.capture(pane).contains("More: [ship it]"); });
    const qint64 command =
        sendAfterScan("/api/commands", {{"project_id", other.idText()}, {"command_type", "launch"}},
                      [&] { return launched; });
    for (const qint64 ms : {reply, input, command})
        QVERIFY2(ms >= 0 && ms < boundMs,
                 qPrintable(QStringLiteral("reply %1 ms, input %2 ms, command %3 ms")
                                .arg(reply)
                                .arg(input)
                                .arg(command)));

    // From a cursor on, the agent hears of exactly the phone's three steps, in order: not of its
    // own screens, sessions and acknowledgements.
    if (offered) {
        QStringList heard;
        for (const QJsonValue event :
             http.get(events + QString::number(from), key).object()["events"].toArray())
            heard << event["type"].toString();
        QCOMPARE(heard, QStringList({"reply", "input", "command"}));
    }

    // Over quick scans the relay counts the inputs and command fetches: with the hold up, only the
    // safety fetch of every tenth scan; without it, every scan's.
    engine.setPollInterval(0.05);
    const auto fetchesOver = [&scanned](RelayProcess &counter, int scans) {
        scanned.clear();
        if (!scanned.wait(10000))
            return qint64(-1);
        const auto fetches = [&counter] {
            return counter.requestsAnswered("GET", "/api/sessions/{}/inputs") +
                   counter.requestsAnswered("GET", "/api/commands/pending");
        };
        const qint64 before = fetches();
        return QTest::qWaitFor([&] { return scanned.size() > scans; }, 30000) ? fetches() - before
                                                                              : qint64(-1);
    };
    const int scans = 2 * AgentService::safetyFetchScans;
    const qint64 made = fetchesOver(relay, scans);
    // Two routes a fetching scan; the window may take in one more, and the 30 s fetch another.
    const qint64 safety = 2 * (scans / AgentService::safetyFetchScans + 2);
    QVERIFY2(offered ? made > 0 && made <= safety : made >= 2 * (scans - 1),
             qPrintable(QStringLiteral("%1 fetches over %2 scans").arg(made).arg(scans)));
    // A dropped hold sends the scans back to fetching at once: the relay is gone for a few scans,
    // then back on its port.
    if (offered) {
        relay.stop();
        scanned.clear();
        QTRY_VERIFY_WITH_TIMEOUT(scanned.size() > 2, 10000);
        QVERIFY(relay.start());
        const qint64 afterDrop = fetchesOver(relay, 4);
        QVERIFY2(afterDrop >= 2 * 3, qPrintable(QStringLiteral("%1 fetches").arg(afterDrop)));
    }

    // The held request never holds up a stop.
    QSignalSpy finished(&engine, &AgentService::loopFinished);
    engine.stop();
    QVERIFY(!engine.isLoopActive() || finished.wait(3000));
}

QUILLET_TEST_GUILESS_MAIN(TestAgentPush)
#include "tst_agentpush.moc"
