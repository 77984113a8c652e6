// From a phone's answer to its keys in the pane, with the relay's agent events and without (the
// scans alone), at the default 3 s poll interval: the real quillet-server as a process, a private
// tmux server, the engine in this process. The answer is sent at a random moment of the scan
// cycle, as a person would; the pane's program notes the moment it reads the line.
#include "agent/AgentService.h"
#include "projects/ProjectStore.h"
#include "support/HttpClient.h"
#include "support/RelayAccount.h"
#include "support/RelayProcess.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>

using namespace quillet;
using namespace quillet::test;

namespace {

const QString askLoop = QStringLiteral(R"(
i=0
while :; do
  i=$((i+1))
  printf 'Question %s? (y/n) ' "$i"
  IFS= read -r answer
  date +%s%N > read-at.tmp && mv read-at.tmp read-at
  echo "got $answer"
done
)");

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

void BM_AnswerToKeys(benchmark::State &state) {
    const bool offered = state.range(0) != 0;
    const QString root = TestEnvironment::current()->root();
    if (!offered)
        qputenv("QUILLET_SERVER_AGENT_EVENTS", "0");
    RelayProcess relay({}, root + (offered ? "/events.sqlite" : "/polling.sqlite"));
    const bool started = relay.start();
    qunsetenv("QUILLET_SERVER_AGENT_EVENTS");
    const RelayAccount account = started ? RelayAccount::create(relay) : RelayAccount{};
    if (account.phoneToken.isEmpty()) {
        state.SkipWithError("no relay account");
        return;
    }
    HttpClient http(relay.baseUrl());
    TmuxServer tmux;
    ProjectStore store(root + (offered ? "/events.json" : "/polling.json"));
    Project work;
    work.id = QUuid::createUuid();
    work.name = QStringLiteral("Work");
    work.directory = tmux.scratchDir();
    work.tmuxSessionName = offered ? QStringLiteral("events") : QStringLiteral("polling");
    work.tool = CodingTool::generic;
    work.createdAt = QDateTime::currentDateTimeUtc();
    store.add(work);
    tmux.startSession(work.tmuxSessionName, "sh " + tmux.writeScript("ask", askLoop));
    const QString readAt = tmux.scratchDir() + QStringLiteral("/read-at");

    AgentService engine;
    engine.setProjectStore(&store);
    engine.setIdleThreshold(0);
    engine.noteLaunchedSession(work.tmuxSessionName);
    QSignalSpy posted(&engine, &AgentService::questionPosted);
    engine.start(relay.baseUrl(), account.agentKey, QStringLiteral("Bench"));

    std::vector<double> latencies;
    for (auto _ : state) {
        if (posted.isEmpty() && !posted.wait(30000)) {
            state.SkipWithError("no question posted");
            break;
        }
        posted.clear();
        const QJsonArray pending =
            http.get("/api/questions?status=pending", account.phoneToken).array();
        QFile::remove(readAt);
        QTest::qWait(int(QRandomGenerator::global()->bounded(3000)));
        const qint64 sent = nowNs();
        http.json("POST", "/api/questions/" + pending.first()["id"].toString() + "/reply",
                  {{"reply_text", "y"}}, account.phoneToken);
        QFile file(readAt);
        if (!QTest::qWaitFor([&] { return file.exists(); }, 30000) ||
            !file.open(QIODevice::ReadOnly)) {
            state.SkipWithError("the answer never reached the pane");
            break;
        }
        const double seconds = double(file.readAll().trimmed().toLongLong() - sent) / 1e9;
        latencies.push_back(seconds * 1000);
        state.SetIterationTime(seconds);
    }
    QSignalSpy finished(&engine, &AgentService::loopFinished);
    engine.stop();
    if (engine.isLoopActive())
        finished.wait(10000);
    if (!latencies.empty()) {
        state.counters["p50_ms"] = percentile(latencies, 0.5);
        state.counters["p99_ms"] = percentile(latencies, 0.99);
    }
}
BENCHMARK(BM_AnswerToKeys)
    ->ArgName("events")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(15)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
