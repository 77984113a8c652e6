#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/HttpClient.h"
#include "support/RelayProcess.h"
#include "support/RoundRobinProxy.h"
#include "support/RunQuillet.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <csignal>

using namespace quillet;
using namespace quillet::test;

namespace {

// A stand-in for a coding agent: asks, types back what it got, then takes free text.
const QString askScript = QStringLiteral(R"(
echo "Refactoring the parser"
while [ ! -e go ]; do sleep 0.05; done
printf 'Proceed? (y/n) '
IFS= read -r answer
echo "Answer: [$answer]"
IFS= read -r more
echo "More: [$more]"
exec sleep 600
)");

// One sample of a relay's metrics page, 0 when it has none.
qint64 sample(RelayProcess &relay, const QByteArray &series) {
    static const QRegularExpression address(QStringLiteral("metrics on [0-9.]+:(\\d+)"));
    const QString port = address.match(relay.log()).captured(1);
    const QByteArray page = HttpClient("http://127.0.0.1:" + port).get("/metrics").body;
    for (const QByteArray &line : page.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toLongLong();
    return 0;
}

} // namespace

// The real `quillet` executable against the real relay, both as processes: the account
// commands, pairing a phone through the phone API, and the agent relaying a question from a
// private tmux server. On PostgreSQL two relay instances share the database behind a proxy that
// hands each new connection to the next instance, so that both serve the computer and the phone.
class TestRelayEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void registerRelayThenUnpairAndLogout();

private:
    std::unique_ptr<RelayProcess> m_relay;
    std::unique_ptr<RelayProcess> m_second;
    std::unique_ptr<RoundRobinProxy> m_proxy;
    // Where the computer and the phone send their requests: the relay, or the proxy.
    QString m_baseUrl;
    std::unique_ptr<HttpClient> m_http;
};

void TestRelayEndToEnd::init() {
    if (const QString why = RelayProcess::storeUnavailable(); !why.isEmpty())
        QSKIP(qPrintable(why));
    const QString database = TestEnvironment::current()->root() + "/relay.sqlite";
    const QStringList metrics =
        RelayProcess::onPostgres() ? QStringList{"--metrics-listen", "127.0.0.1:0"} : QStringList{};
    m_relay = std::make_unique<RelayProcess>(metrics, database);
    QVERIFY(m_relay->start());
    m_baseUrl = m_relay->baseUrl();
    if (RelayProcess::onPostgres()) {
        m_second = std::make_unique<RelayProcess>(metrics, database);
        QVERIFY(m_second->start());
        m_proxy = std::make_unique<RoundRobinProxy>(QList{m_relay->port(), m_second->port()});
        m_baseUrl = m_proxy->baseUrl();
    }
    m_http = std::make_unique<HttpClient>(m_baseUrl);
}

void TestRelayEndToEnd::cleanup() {
    const bool spread = !m_proxy || (m_proxy->connections(0) > 0 && m_proxy->connections(1) > 0);
    m_proxy.reset();
    for (std::unique_ptr<RelayProcess> *relay : {&m_relay, &m_second}) {
        if (*relay)
            QCOMPARE((*relay)->stop(), 0);
        relay->reset();
    }
    QVERIFY2(spread, "one instance served every connection");
}

void TestRelayEndToEnd::registerRelayThenUnpairAndLogout() {
    const QuilletRun registered =
        runQuillet({"register", "--server", m_baseUrl, "--username", "ann"});
    QVERIFY2(registered.status == 0, qPrintable(registered.out + registered.err));
    const QString key = Settings::readTextOrEmpty(Settings::agentApiKey);
    // The first account closes registration: a second one is refused with the server's reason.
    const QuilletRun second =
        runQuillet({"register", "--server", m_baseUrl, "--username", "mallory"});
    QVERIFY(second.status != 0);
    QVERIFY2((second.out + second.err).contains("Registration is closed"),
             qPrintable(second.out + second.err));
    // A phone pairs with the code that `quillet pair` shows; the command sees it and ends.
    QProcess pair;
    pair.start(QStringLiteral(QUILLET_BINARY), {QStringLiteral("pair")});
    QByteArray out;
    static const QRegularExpression shown(QStringLiteral("manually: ([A-Z0-9]{3}) ([A-Z0-9]{3})"));
    QRegularExpressionMatch code;
    QVERIFY(QTest::qWaitFor(
        [&] {
            out += pair.readAllStandardOutput();
            code = shown.match(QString::fromUtf8(out));
            return code.hasMatch();
        },
        20000));
    const QString device = m_http
                               ->json("POST", "/api/pair/complete",
                                      {{"code", code.captured(1) + " " + code.captured(2)},
                                       {"device_name", "Pixel"},
                                       {"device_type", "android"}})
                               .text("device_token");
    QVERIFY(pair.waitForFinished(20000) && pair.exitCode() == 0);
    QVERIFY2((out + pair.readAllStandardOutput()).contains("Paired Pixel (android)."), out);

    TmuxServer tmux;
    const Project work = sampleProject(QStringLiteral("Work"), tmux.scratchDir());
    Project other = sampleProject(QStringLiteral("Other"), tmux.scratchDir());
    other.launchCommand = QStringLiteral("echo launched-by-phone");
    {
        ProjectStore store;
        store.add(work);
        store.add(other);
    }
    const QString pane = tmux.startSession(
        QStringLiteral("work"), QStringLiteral("bash ") + tmux.writeScript("ask", askScript));
    QVERIFY(tmux.waitForText(pane, QStringLiteral("Refactoring")));

    // Scans far apart, so that on two instances only a wake-up from the other one brings the
    // phone's steps in time.
    if (m_proxy)
        QVERIFY(Settings::write(Settings::pollInterval, 6));
    QProcess agent;
    // What the agent says on the way out (a sanitizer report above all) belongs in the log.
    agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    agent.start(QStringLiteral(QUILLET_BINARY), {QStringLiteral("agent")});
    QVERIFY(agent.waitForStarted());
    auto stopAgent = qScopeGuard([&] {
        ::kill(pid_t(agent.processId()), SIGTERM);
        if (!agent.waitForFinished(15000))
            agent.kill();
    });

    // The agent opens a session for the pane; then the program asks.
    QVERIFY(QTest::qWaitFor([&] { return !m_http->get("/api/sessions", device).array().isEmpty(); },
                            20000));
    QFile go(tmux.scratchDir() + QStringLiteral("/go"));
    QVERIFY(go.open(QIODevice::WriteOnly));
    QJsonArray pending;
    QVERIFY(QTest::qWaitFor(
        [&] {
            pending = m_http->get("/api/questions?status=pending", device).array();
            return !pending.isEmpty();
        },
        30000));
    const QJsonObject question = pending.first().toObject();
    QCOMPARE(question["question_text"].toString(), QStringLiteral("Proceed? (y/n)"));
    QCOMPARE(question["project_name"].toString(), QStringLiteral("Work"));
    QCOMPARE(question["pane_target"].toString(), pane);
    QVERIFY(QTest::qWaitFor(
        [&] { return m_http->get("/api/projects", device).array().size() == 2; }, 20000));

    // On two instances the phone sends each step to the one that does not hold the agent's
    // request for news. While that request is held the scans (6 s apart) leave replies, inputs
    // and commands to it, so a step arrives within 3 s only when the other instance woke it.
    HttpClient *phone = m_http.get();
    std::unique_ptr<HttpClient> across;
    int stepMs = 20000;
    if (m_proxy) {
        RelayProcess *away = nullptr;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (sample(*m_relay, "quillet_waiters") > 0)
                    away = m_second.get();
                else if (sample(*m_second, "quillet_waiters") > 0)
                    away = m_relay.get();
                return away != nullptr;
            },
            10000));
        across = std::make_unique<HttpClient>(away->baseUrl());
        phone = across.get();
        stepMs = 3000;
    }

    // The phone answers; the agent types it into the pane.
    QCOMPARE(phone
                 ->json("POST", "/api/questions/" + question["id"].toString() + "/reply",
                        {{"reply_text", "y"}}, device)
                 .status,
             200);
    QVERIFY(QTest::qWaitFor([&] { return tmux.capture(pane).contains("Answer: [y]"); }, stepMs));

    // Free text goes in as text and is acknowledged.
    const QString session = question["session_id"].toString();
    const HttpAnswer input = phone->json("POST", "/api/sessions/" + session + "/inputs",
                                         {{"input_text", "ship it"}}, device);
    QCOMPARE(input.status, 201);
    QVERIFY(
        QTest::qWaitFor([&] { return tmux.capture(pane).contains("More: [ship it]"); }, stepMs));

    // The phone launches the other project; the agent starts its session and says so.
    const HttpAnswer command =
        phone->json("POST", "/api/commands",
                    {{"project_id", other.id.toString(QUuid::WithoutBraces).toUpper()},
                     {"command_type", "launch"}},
                    device);
    QCOMPARE(command.status, 201);
    QVERIFY(QTest::qWaitFor(
        [&] {
            return phone->get("/api/commands/" + command.text("id"), device).text("status") ==
                   QLatin1String("success");
        },
        stepMs));
    QVERIFY(tmux.waitForText(QStringLiteral("other"), QStringLiteral("launched-by-phone"), 20000));

    stopAgent.dismiss();
    ::kill(pid_t(agent.processId()), SIGTERM);
    QVERIFY(agent.waitForFinished(15000));
    QCOMPARE(agent.exitCode(), 0);

    // The phone as the account lists it, and removed: its token is refused from then on.
    const QuilletRun list = runQuillet({"devices", "--json"});
    QCOMPARE(list.status, 0);
    const QJsonArray devices = QJsonDocument::fromJson(list.out.toUtf8()).array();
    QCOMPARE(devices.size(), 1);
    const QJsonObject phoneShown = devices.first().toObject();
    QCOMPARE(phoneShown["device_name"].toString(), QStringLiteral("Pixel"));
    for (const char *member : {"id", "device_type", "created_at", "last_seen_at"})
        QVERIFY2(!phoneShown[member].toString().isEmpty(), member);
    const QString id = phoneShown["id"].toString();
    const QuilletRun removed = runQuillet({"devices", "remove", id, "--yes"});
    QVERIFY2(removed.status == 0, qPrintable(removed.out + removed.err));
    QCOMPARE(m_http->get("/api/sessions", device).status, 401);
    QCOMPARE(runQuillet({"devices", "remove", id, "--yes"}).status, 1);

    // A new sign-in makes a new key; signing out revokes it on the server, and only it.
    QCOMPARE(runQuillet({"login"}).status, 0);
    const QString secondKey = Settings::readTextOrEmpty(Settings::agentApiKey);
    QVERIFY(secondKey != key);
    const QuilletRun logout = runQuillet({"logout"});
    QVERIFY2(logout.status == 0, qPrintable(logout.out + logout.err));
    QCOMPARE(m_http->get("/api/commands/pending", secondKey).status, 401);
    QCOMPARE(m_http->get("/api/commands/pending", key).status, 200);
}

QUILLET_TEST_GUILESS_MAIN(TestRelayEndToEnd)
#include "tst_RelayEndToEnd.moc"
