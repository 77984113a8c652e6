// One monitor scan over 1, 10 and 50 panes of a private tmux server, against the fake server,
// in the steady state (every screen already seen and unchanged). Counters per scan: the tmux
// child processes started, the HTTP requests made, and the longest stretch during which the main
// thread's event loop could not run (a 1 ms timer measures the gaps).
#include "agent/AgentClient.h"
#include "agent/AgentService.h"
#include "agent/TmuxService.h"
#include "projects/ProjectStore.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>
#include <benchmark/benchmark.h>

using namespace quillet;
using namespace quillet::test;

namespace {

// Measures how late a 1 ms timer fires: the main thread was busy for that long.
class BlockMeter {
public:
    BlockMeter() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout,
                         [this] { m_longest = std::max(m_longest, m_clock.restart()); });
    }
    void start() {
        m_longest = 0;
        m_clock.start();
        m_timer.start();
    }
    qint64 stop() {
        m_timer.stop();
        return std::max(m_longest, m_clock.elapsed());
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};

QString freshStoreFile() {
    static int count = 0;
    return TestEnvironment::current()->dataHome() + QStringLiteral("/bench%1.json").arg(++count);
}

struct Setup {
    explicit Setup(int panes) : store(freshStoreFile()) {
        server.on(
            "POST", QStringLiteral("/api/sessions"),
            FakeResponse::json(201, QJsonObject{{QStringLiteral("id"), QStringLiteral("s1")}}));
        server.on("GET", QStringLiteral("/api/sessions/s1/inputs"), FakeResponse::raw(200, "[]"));
        server.on("GET", QStringLiteral("/api/commands/pending"), FakeResponse::raw(200, "[]"));
        server.on("PUT", QStringLiteral("/api/projects"), FakeResponse::raw(200, "{}"));
        server.on("POST", QStringLiteral("/api/sessions/s1/stream"), FakeResponse::raw(200, "{}"));
        // One generic project per session, one pane each: the listing is one tmux call for
        // all of them, and each pane is captured once.
        const QString screen = tmux.writeScript(
            QStringLiteral("screen"),
            QStringLiteral("seq 1 24 | sed 's/^/building module /'\nprintf 'Proceed? (y/n) '\n"
                           "exec sleep 3600\n"));
        for (int i = 0; i < panes; ++i) {
            Project project;
            project.id = QUuid::createUuid();
            project.name = QStringLiteral("Bench %1").arg(i);
            project.directory = tmux.scratchDir();
            project.tmuxSessionName = QStringLiteral("p%1").arg(i);
            project.tool = CodingTool::generic;
            project.createdAt = QDateTime::currentDateTimeUtc();
            store.add(project);
            const QString target = tmux.startSession(project.tmuxSessionName, screen);
            tmux.waitForText(target, QStringLiteral("Proceed?"));
        }
        engine.setProjectStore(&store);
        // Steady state: nothing is ever idle long enough to be posted.
        engine.setIdleThreshold(1e9);
        engine.client().setServerUrl(server.baseUrl());
        engine.client().setApiKey(QStringLiteral("bench"));
        awaitTask(engine.scan(), 120000); // first sight: sessions registered, baselines stored
    }

    FakeServer server;
    TmuxServer tmux;
    ProjectStore store;
    AgentService engine;
};

void BM_Scan(benchmark::State &state) {
    Setup setup(int(state.range(0)));
    BlockMeter meter;
    quint64 processes = 0;
    qint64 requests = 0;
    std::vector<qint64> blocks;
    for (auto _ : state) {
        const quint64 processesBefore = TmuxService::processesStarted();
        const qsizetype requestsBefore = setup.server.requests().size();
        meter.start();
        awaitTask(setup.engine.scan(), 120000);
        blocks.push_back(meter.stop());
        processes += TmuxService::processesStarted() - processesBefore;
        requests += setup.server.requests().size() - requestsBefore;
    }
    const double scans = double(state.iterations());
    state.counters["processes/scan"] = double(processes) / scans;
    state.counters["requests/scan"] = double(requests) / scans;
    // The longest block of a typical scan, and of the worst one (on a busy machine the worst
    // also counts the moments the scheduler gave the core to someone else).
    std::sort(blocks.begin(), blocks.end());
    state.counters["medianBlock_ms"] = double(blocks[blocks.size() / 2]);
    state.counters["maxBlock_ms"] = double(blocks.back());
}
BENCHMARK(BM_Scan)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

// The two costs a pane adds to a scan, measured alone: one capture (a tmux child process, run on
// the thread pool and awaited) and one agent request (the inputs fetch) to the loopback server.
void BM_CapturePane(benchmark::State &state) {
    Setup setup(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(TmuxService::capturePane(QStringLiteral("p0:0.0")));
}
BENCHMARK(BM_CapturePane)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FetchInputs(benchmark::State &state) {
    Setup setup(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            awaitTask(setup.engine.client().fetchInputs(QStringLiteral("s1"))));
}
BENCHMARK(BM_FetchInputs)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    // Private XDG folders and tmux socket folder: the user's tmux server is never touched.
    TestEnvironment environment;
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("lorvo.fennick.quillet-mac.*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
