// The relay under the agent's load, on loopback only, bounded in count and time:
//  1. requests per second for the polling pattern of 100 agents (each tick: its inputs, its
//     reply with timeout 0, the pending commands), driven by wrk over 100 connections for 10 s;
//  2. the time from a reply posted by the phone to the held reply request answering (200 runs),
//     p50 and p99.
// Not a Google Benchmark: both are measured against a server process, with figures printed once.
#include "api/KeychainService.h"
#include "api/RegistrationCredential.h"
#include "api/SoftwareAuthenticator.h"
#include "common/Base64Url.h"
#include "support/HttpClient.h"
#include "support/RelayProcess.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <algorithm>
#include <cstdio>

using namespace quillet;
using namespace quillet::test;

namespace {

constexpr int agents = 100;
constexpr int latencyRuns = 200;

struct Agent {
    QString key;
    QString session;
    QString question;
};

// One account with an agent key, a session and a pending question; the phone's token in `device`.
Agent makeAgent(HttpClient &http, SoftwareAuthenticator &authenticator, int index,
                QString *device = nullptr) {
    const QString name = QStringLiteral("agent%1").arg(index);
    const QJsonObject options =
        http.json("POST", "/api/auth/passkey/register/options", {{"username", name}}).object();
    const auto challenge = Base64Url::decode(options["challenge"].toString());
    const auto handle = Base64Url::decode(options["user"].toObject()["id"].toString());
    const RegistrationCredential credential = authenticator.makeCredential(
        options["rp"].toObject()["id"].toString(), *challenge, name, *handle);
    const QString access = http.json("POST", "/api/auth/passkey/register/complete",
                                     {{"credential", credential.toJson()}})
                               .text("access_token");
    Agent agent;
    agent.key = http.json("POST", "/api/auth/api-keys", {{"label", name}}, access).text("key");
    agent.session = http.json("POST", "/api/sessions",
                              {{"agent_label", "bench"}, {"pane_target", "w:0.0"}}, agent.key)
                        .text("id");
    agent.question = http.json("POST", "/api/sessions/" + agent.session + "/questions",
                               {{"context", ""}, {"question_text", "?"}}, agent.key)
                         .text("id");
    if (device) {
        const QString code = http.json("POST", "/api/pair/initiate", {}, access).text("code");
        *device = http.json("POST", "/api/pair/complete",
                            {{"code", code}, {"device_name", "bench"}, {"device_type", "bench"}})
                      .text("device_token");
    }
    return agent;
}

// wrk's script: every request is the next step of the next agent's tick.
QString wrkScript(const QList<Agent> &list) {
    QString script = QStringLiteral("local agents = {\n");
    for (const Agent &agent : list)
        script += QStringLiteral("  {\"%1\", \"%2\", \"%3\"},\n")
                      .arg(agent.key, agent.session, agent.question);
    script += QStringLiteral(R"(}
local n = 0
function setup(thread) thread:set("offset", n); n = n + 1 end
local i = 0
request = function()
  local a = agents[(math.floor(i / 3) * 2 + offset) % #agents + 1]
  local step = i % 3
  i = i + 1
  local headers = {["Authorization"] = "Bearer " .. a[1]}
  if step == 0 then
    return wrk.format("GET", "/api/sessions/" .. a[2] .. "/inputs", headers)
  elseif step == 1 then
    return wrk.format("GET", "/api/sessions/" .. a[2] .. "/questions/" .. a[3] .. "/reply?timeout=0", headers)
  end
  return wrk.format("GET", "/api/commands/pending", headers)
end
)");
    return script;
}

} // namespace

int main(int argc, char **argv) {
    TestEnvironment environment;
    QCoreApplication app(argc, argv);
    RelayProcess relay({QStringLiteral("--open-registration")});
    if (!relay.start())
        return 1;
    HttpClient http(relay.baseUrl());
    SoftwareAuthenticator authenticator(KeychainService::shared());

    QList<Agent> list;
    QString device;
    for (int i = 0; i < agents; ++i)
        list << makeAgent(http, authenticator, i, i == 0 ? &device : nullptr);
    std::printf("quillet-server on 127.0.0.1:%u, %d agents (one account each)\n", relay.port(),
                agents);
    // Every agent's three requests answer 2xx, or the figures below would measure refusals.
    for (const Agent &agent : list) {
        const int statuses[] = {
            http.get("/api/sessions/" + agent.session + "/inputs", agent.key).status,
            http.get("/api/sessions/" + agent.session + "/questions/" + agent.question +
                         "/reply?timeout=0",
                     agent.key)
                .status,
            http.get("/api/commands/pending", agent.key).status};
        for (const int status : statuses)
            if (status < 200 || status > 299) {
                std::printf("an agent's request answered %d\n", status);
                return 1;
            }
    }

    // 1. The polling pattern.
    const QString wrk = QStandardPaths::findExecutable(QStringLiteral("wrk"));
    if (wrk.isEmpty()) {
        std::printf("wrk not installed: polling throughput skipped\n");
    } else {
        const QString scriptPath = environment.root() + QStringLiteral("/poll.lua");
        QFile script(scriptPath);
        script.open(QIODevice::WriteOnly);
        script.write(wrkScript(list).toUtf8());
        script.close();
        QProcess run;
        run.start(wrk, {QStringLiteral("-t2"), QStringLiteral("-c%1").arg(agents),
                        QStringLiteral("-d10s"), QStringLiteral("--latency"), QStringLiteral("-s"),
                        scriptPath, relay.baseUrl()});
        run.waitForFinished(60000);
        std::printf("\n-- polling pattern (inputs, reply timeout=0, pending commands), 100 "
                    "connections, 10 s --\n%s",
                    run.readAllStandardOutput().constData());
    }

    // 2. Reply to held request.
    QNetworkAccessManager network;
    QList<double> latencies;
    const Agent &agent = list.first();
    for (int i = 0; i < latencyRuns; ++i) {
        const QString question = http.json("POST", "/api/sessions/" + agent.session + "/questions",
                                           {{"context", ""}, {"question_text", "?"}}, agent.key)
                                     .text("id");
        QNetworkRequest request(QUrl(relay.baseUrl() + "/api/sessions/" + agent.session +
                                     "/questions/" + question + "/reply?timeout=25"));
        request.setRawHeader("Authorization", "Bearer " + agent.key.toUtf8());
        std::unique_ptr<QNetworkReply> held(network.get(request));
        QTest::qWait(20); // the server holds it by now
        QElapsedTimer clock;
        QObject::connect(held.get(), &QNetworkReply::finished,
                         [&] { latencies << double(clock.nsecsElapsed()) / 1e6; });
        clock.start();
        http.json("POST", "/api/questions/" + question + "/reply", {{"reply_text", "y"}}, device);
        if (!QTest::qWaitFor([&] { return held->isFinished(); }, 30000))
            return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.isEmpty())
        std::printf(
            "\n-- reply posted -> held reply request answered, %lld runs --\n"
            "p50 %.2f ms   p99 %.2f ms   max %.2f ms\n"
            "(measured from the phone's POST being sent; it includes that POST)\n",
            static_cast<long long>(latencies.size()), latencies.at(latencies.size() / 2),
            latencies.at(std::min<qsizetype>(latencies.size() - 1, latencies.size() * 99 / 100)),
            latencies.last());
    return relay.stop() == 0 ? 0 : 1;
}
