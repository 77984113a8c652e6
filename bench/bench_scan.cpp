// One monitor scan over 1, 10 and 50 panes of a private tmux server, against the real relay run as
// a process of its own (so its work is not counted as the engine's), in the steady state: every
// screen already seen and unchanged, the engine started as the agent runs it, with the relay's
// agent events on and off. Counters per scan: the tmux child processes started, the HTTP requests
// the relay answered (all, and the inputs fetches alone), and the longest stretch during which the
// main thread's event loop could not run (a 1 ms timer measures the gaps) over the scan and the
// background work it sets off, with and without the time the thread waited for a core.
#include "agent/AgentClient.h"
#include "agent/AgentService.h"
#include "agent/TmuxService.h"
#include "projects/ProjectStore.h"
#include "support/AwaitTask.h"
#include "support/RelayAccount.h"
#include "support/RelayProcess.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

using namespace quillet;
using namespace quillet::test;

namespace {

// Measures how late a 1 ms timer fires: the main thread was busy for that long. On a loaded
// machine part of such a gap is the thread waiting for a core while others run, which the kernel
// counts (/proc/thread-self/schedstat); the gap without that wait is what the engine itself held
// the thread for, on the processor or waiting on a file or a lock.
class BlockMeter {
public:
    BlockMeter() : m_schedstat(::open("/proc/thread-self/schedstat", O_RDONLY)) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }
    ~BlockMeter() { ::close(m_schedstat); }
    void start() {
        m_longest = 0;
        m_longestOwn = 0;
        m_clock.start();
        m_waited = waitedNs();
        m_timer.start();
    }
    void stop() {
        m_timer.stop();
        tick();
    }
    double longestMs() const { return double(m_longest) / 1e6; }
    double longestOwnMs() const { return double(m_longestOwn) / 1e6; }

private:
    // Nanoseconds the thread has spent ready to run but waiting for a core.
    qint64 waitedNs() const {
        char text[128] = {};
        if (::pread(m_schedstat, text, sizeof text - 1, 0) <= 0)
            return 0;
        return QByteArray(text).split(' ').value(1).toLongLong();
    }
    void tick() {
        const qint64 gap = m_clock.nsecsElapsed();
        m_clock.start();
        const qint64 waited = waitedNs();
        m_longest = std::max(m_longest, gap);
        m_longestOwn = std::max(m_longestOwn, gap - (waited - m_waited));
        m_waited = waited;
    }
    int m_schedstat;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
    qint64 m_longestOwn = 0;
    qint64 m_waited = 0;
};

const QString inputsRoute = QStringLiteral("/api/sessions/{}/inputs");

struct Setup {
    Setup(int panes, bool events)
        // A name of its own: the benchmark library may run one benchmark more than once.
        : name(QStringLiteral("/scan%1").arg(++setups)),
          relay({QStringLiteral("--metrics-listen"), QStringLiteral("127.0.0.1:0")},
                TestEnvironment::current()->root() + name + QStringLiteral(".sqlite")),
          store(TestEnvironment::current()->dataHome() + name + QStringLiteral(".json")) {
        if (!events)
            qputenv("QUILLET_SERVER_AGENT_EVENTS", "0");
        const bool started = relay.start();
        qunsetenv("QUILLET_SERVER_AGENT_EVENTS");
        const RelayAccount account = started ? RelayAccount::create(relay) : RelayAccount{};
        if (account.agentKey.isEmpty())
            return;
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
        // Steady state as at a desk: every pane idle on a question that was on screen at first
        // sight, so each scan looks for it again, and it is not news and never posted.
        engine.setIdleThreshold(0);
        // The loop's own first scan registers the sessions; the benchmark runs the later ones.
        engine.setPollInterval(1e6);
        QSignalSpy scanned(&engine, &AgentService::stateChanged);
        engine.start(relay.baseUrl(), account.agentKey, QStringLiteral("Bench"));
        ready = scanned.wait(120000) && engine.sessions().size() == panes;
        // With events, the first held request has answered: the hold is up.
        if (events)
            ready = ready && QTest::qWaitFor(
                                 [this] {
                                     return relay.requestsAnswered(
                                                "GET", QStringLiteral("/api/agent/events")) > 0;
                                 },
                                 30000);
    }
    ~Setup() {
        QSignalSpy finished(&engine, &AgentService::loopFinished);
        engine.stop();
        if (engine.isLoopActive())
            finished.wait(10000);
    }

    static inline int setups = 0;
    QString name;
    RelayProcess relay;
    TmuxServer tmux;
    ProjectStore store;
    AgentService engine;
    bool ready = false;
};

void BM_Scan(benchmark::State &state) {
    Setup setup(int(state.range(0)), state.range(1) != 0);
    if (!setup.ready) {
        state.SkipWithError("no relay, account or first scan");
        return;
    }
    BlockMeter meter;
    quint64 processes = 0;
    std::vector<double> blocks;
    std::vector<double> ownBlocks;
    const qint64 requestsBefore = setup.relay.requestsAnswered();
    const qint64 inputsBefore = setup.relay.requestsAnswered("GET", inputsRoute);
    for (auto _ : state) {
        const quint64 processesBefore = TmuxService::processesStarted();
        meter.start();
        QElapsedTimer clock;
        clock.start();
        awaitTask(setup.engine.scan(), 120000);
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        // The command poll and the project upload a scan sets off end here, as they would in the
        // pause before the next scan. (Not QTest::qWait: it sleeps between its event rounds.)
        QEventLoop pause;
        QTimer::singleShot(100, &pause, &QEventLoop::quit);
        pause.exec();
        meter.stop();
        blocks.push_back(meter.longestMs());
        ownBlocks.push_back(meter.longestOwnMs());
        processes += TmuxService::processesStarted() - processesBefore;
    }
    const double scans = double(state.iterations());
    state.counters["processes/scan"] = double(processes) / scans;
    state.counters["requests/scan"] =
        double(setup.relay.requestsAnswered() - requestsBefore) / scans;
    state.counters["inputs/scan"] =
        double(setup.relay.requestsAnswered("GET", inputsRoute) - inputsBefore) / scans;
    // The longest block of a typical scan, and of the worst one (on a busy machine the worst
    // also counts the moments the scheduler gave the core to someone else).
    std::sort(blocks.begin(), blocks.end());
    state.counters["medianBlock_ms"] = blocks[blocks.size() / 2];
    state.counters["maxBlock_ms"] = blocks.back();
    // The same without the waits for a core: the engine's own share.
    std::sort(ownBlocks.begin(), ownBlocks.end());
    state.counters["medianOwnBlock_ms"] = ownBlocks[ownBlocks.size() / 2];
    state.counters["maxOwnBlock_ms"] = ownBlocks.back();
}
BENCHMARK(BM_Scan)
    ->ArgNames({"panes", "events"})
    ->ArgsProduct({{1, 10, 50}, {1, 0}})
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The two costs a pane adds to a scan, measured alone: one capture (a tmux child process, run on
// the thread pool and awaited) and one agent request (the inputs fetch) to the loopback relay.
void BM_CapturePane(benchmark::State &state) {
    Setup setup(1, true);
    if (!setup.ready) {
        state.SkipWithError("no relay, account or first scan");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(TmuxService::capturePane(QStringLiteral("p0:0.0")));
}
BENCHMARK(BM_CapturePane)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FetchInputs(benchmark::State &state) {
    Setup setup(1, true);
    if (!setup.ready) {
        state.SkipWithError("no relay, account or first scan");
        return;
    }
    const QString sid = setup.engine.sessions().first();
    for (auto _ : state)
        benchmark::DoNotOptimize(awaitTask(setup.engine.client().fetchInputs(sid)));
}
BENCHMARK(BM_FetchInputs)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
