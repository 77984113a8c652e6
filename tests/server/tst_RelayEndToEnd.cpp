#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/HttpClient.h"
#include "support/RelayProcess.h"
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

} // namespace

// The real `quillet` executable against the real relay, both as processes: the account
// commands, pairing a phone through the phone API, and the agent relaying a question from a
// private tmux server.
class TestRelayEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void registerThenLogoutRevokesTheKey();
    void pairListAndRemoveAPhone();
    void agentRelaysQuestionsTextAndCommands();

private:
    // `quillet register` against the relay; answers the agent key it stored.
    QString registerAccount();
    QString pairPhone();

    std::unique_ptr<RelayProcess> m_relay;
    std::unique_ptr<HttpClient> m_http;
};

void TestRelayEndToEnd::init() {
    if (const QString why = RelayProcess::storeUnavailable(); !why.isEmpty())
        QSKIP(qPrintable(why));
    Settings::remove(Settings::serverURL);
    Settings::remove(Settings::agentApiKey);
    Settings::remove(Settings::agentApiKeyId);
    QFile::remove(ProjectStore::defaultFilePath());
    m_relay =
        std::make_unique<RelayProcess>(QStringList{}, TestEnvironment::current()->root() + "/" +
                                                          QTest::currentTestFunction() + ".sqlite");
    QVERIFY(m_relay->start());
    m_http = std::make_unique<HttpClient>(m_relay->baseUrl());
}

void TestRelayEndToEnd::cleanup() {
    if (m_relay)
        QCOMPARE(m_relay->stop(), 0);
    m_relay.reset();
    // The credential file would sign the next test's client in to this test's server.
    QFile::remove(TestEnvironment::current()->dataHome() + "/Quillet/credentials.json");
}

QString TestRelayEndToEnd::registerAccount() {
    const QuilletRun run =
        runQuillet({"register", "--server", m_relay->baseUrl(), "--username", "ann"});
    if (run.status != 0)
        qWarning("register: %s %s", qPrintable(run.out), qPrintable(run.err));
    return Settings::readTextOrEmpty(Settings::agentApiKey);
}

QString TestRelayEndToEnd::pairPhone() {
    QProcess pair;
    pair.start(QStringLiteral(QUILLET_BINARY), {QStringLiteral("pair")});
    QByteArray out;
    static const QRegularExpression shown(QStringLiteral("manually: ([A-Z0-9]{3}) ([A-Z0-9]{3})"));
    QRegularExpressionMatch match;
    if (!QTest::qWaitFor(
            [&] {
                out += pair.readAllStandardOutput();
                match = shown.match(QString::fromUtf8(out));
                return match.hasMatch();
            },
            20000))
        return {};
    const HttpAnswer paired = m_http->json("POST", "/api/pair/complete",
                                           {{"code", match.captured(1) + " " + match.captured(2)},
                                            {"device_name", "Pixel"},
                                            {"device_type", "android"}});
    // The command sees the new phone at its next look and ends.
    if (!pair.waitForFinished(20000) || pair.exitCode() != 0)
        qWarning("pair did not end: %s", out.constData());
    out += pair.readAllStandardOutput();
    if (!out.contains("Paired Pixel (android)."))
        return {};
    return paired.text("device_token");
}

void TestRelayEndToEnd::registerThenLogoutRevokesTheKey() {
    const QString key = registerAccount();
    QVERIFY(!key.isEmpty());
    QCOMPARE(m_http->get("/api/commands/pending", key).status, 200);
    // The first account closes registration: a second one is refused with the server's reason.
    const QuilletRun second =
        runQuillet({"register", "--server", m_relay->baseUrl(), "--username", "mallory"});
    QVERIFY(second.status != 0);
    QVERIFY2((second.out + second.err).contains("Registration is closed"),
             qPrintable(second.out + second.err));

    const QuilletRun login = runQuillet({"login"});
    QCOMPARE(login.status, 0);
    const QString secondKey = Settings::readTextOrEmpty(Settings::agentApiKey);
    QVERIFY(secondKey != key);
    const QuilletRun logout = runQuillet({"logout"});
    QVERIFY2(logout.status == 0, qPrintable(logout.out + logout.err));
    // The key this computer held is gone on the server too.
    QCOMPARE(m_http->get("/api/commands/pending", secondKey).status, 401);
    QCOMPARE(m_http->get("/api/commands/pending", key).status, 200);
}

void TestRelayEndToEnd::pairListAndRemoveAPhone() {
    QVERIFY(!registerAccount().isEmpty());
    const QString device = pairPhone();
    QVERIFY(!device.isEmpty());
    QCOMPARE(m_http->get("/api/sessions", device).status, 200);

    const QuilletRun list = runQuillet({"devices", "--json"});
    QCOMPARE(list.status, 0);
    const QJsonArray devices = QJsonDocument::fromJson(list.out.toUtf8()).array();
    QCOMPARE(devices.size(), 1);
    const QJsonObject phone = devices.first().toObject();
    QCOMPARE(phone["device_name"].toString(), QStringLiteral("Pixel"));
    for (const char *member : {"id", "device_type", "created_at", "last_seen_at"})
        QVERIFY2(!phone[member].toString().isEmpty(), member);

    const QuilletRun removed = runQuillet({"devices", "remove", phone["id"].toString(), "--yes"});
    QVERIFY2(removed.status == 0, qPrintable(removed.out + removed.err));
    QCOMPARE(m_http->get("/api/sessions", device).status, 401);
    QCOMPARE(runQuillet({"devices", "remove", phone["id"].toString(), "--yes"}).status, 1);
}

void TestRelayEndToEnd::agentRelaysQuestionsTextAndCommands() {
    QVERIFY(!registerAccount().isEmpty());
    const QString device = pairPhone();
    QVERIFY(!device.isEmpty());

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

    // The phone answers; the agent types it into the pane.
    QCOMPARE(m_http
                 ->json("POST", "/api/questions/" + question["id"].toString() + "/reply",
                        {{"reply_text", "y"}}, device)
                 .status,
             200);
    QVERIFY(QTest::qWaitFor([&] { return tmux.capture(pane).contains("Answer: [y]"); }, 20000));

    // Free text goes in as text and is acknowledged.
    const QString session = question["session_id"].toString();
    const HttpAnswer input = m_http->json("POST", "/api/sessions/" + session + "/inputs",
                                          {{"input_text", "ship it"}}, device);
    QCOMPARE(input.status, 201);
    QVERIFY(QTest::qWaitFor([&] { return tmux.capture(pane).contains("More: [ship it]"); }, 20000));

    // The phone launches the other project; the agent starts its session and says so.
    QVERIFY(QTest::qWaitFor(
        [&] { return m_http->get("/api/projects", device).array().size() == 2; }, 20000));
    const HttpAnswer command =
        m_http->json("POST", "/api/commands",
                     {{"project_id", other.id.toString(QUuid::WithoutBraces).toUpper()},
                      {"command_type", "launch"}},
                     device);
    QCOMPARE(command.status, 201);
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_http->get("/api/commands/" + command.text("id"), device).text("status") ==
                   QLatin1String("success");
        },
        20000));
    QVERIFY(tmux.waitForText(QStringLiteral("other"), QStringLiteral("launched-by-phone"), 20000));

    stopAgent.dismiss();
    ::kill(pid_t(agent.processId()), SIGTERM);
    QVERIFY(agent.waitForFinished(15000));
    QCOMPARE(agent.exitCode(), 0);
}

QUILLET_TEST_GUILESS_MAIN(TestRelayEndToEnd)
#include "tst_RelayEndToEnd.moc"
