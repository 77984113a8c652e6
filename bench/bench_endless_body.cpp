// A hostile server answers the command poll with a chunked body that never ends. The client must
// stop reading at its body cap and free what it read. The loopback server runs on a thread of its
// own, so it writes as fast as the client can take the data. Counters: the process's resident
// memory before the first request, its high-water mark, and what stays resident after the last
// request (all in MiB). Expect an occasional higher peak: Qt's reader of chunked bodies keeps
// reading for as long as the socket has data, past the read-ahead limit, and a plain-HTTP server on
// the same machine can keep it busy so; the client's own copy still stops at the cap.
#include "agent/AgentClient.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSemaphore>
#include <QThread>
#include <benchmark/benchmark.h>
#include <fstream>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

using namespace quillet;
using namespace quillet::test;

namespace {

double residentMiB() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

// A FakeServer living on its own thread and event loop, streaming an endless body on every path.
class EndlessServer {
public:
    EndlessServer() {
        QSemaphore ready;
        m_thread.reset(QThread::create([this, &ready] {
            FakeServer server;
            FakeResponse endless = FakeResponse::raw(200, "[");
            endless.endless = true;
            server.on("GET", QRegularExpression(QStringLiteral(".*")),
                      [endless](const RecordedRequest &) { return endless; });
            m_baseUrl = server.baseUrl();
            ready.release();
            QEventLoop loop;
            loop.exec();
        }));
        m_thread->start();
        ready.acquire();
    }
    ~EndlessServer() {
        m_thread->quit();
        m_thread->wait();
    }
    QString baseUrl() const { return m_baseUrl; }

private:
    std::unique_ptr<QThread> m_thread;
    QString m_baseUrl;
};

void BM_EndlessCommandPoll(benchmark::State &state) {
    EndlessServer server;
    AgentClient client;
    client.setServerUrl(server.baseUrl());
    client.setApiKey(QStringLiteral("bench"));
    const double before = residentMiB();
    bool refused = true;
    for (auto _ : state)
        refused = !awaitTask(client.fetchPendingCommands(), 120000) && refused;
    // Let the replies' deferred deletion run before reading what stays resident.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    if (!refused)
        state.SkipWithError("an endless body gave a result");
    state.counters["rss_before_MiB"] = before;
    state.counters["rss_peak_MiB"] = peakResidentMiB();
    state.counters["rss_after_MiB"] = residentMiB();
}
BENCHMARK(BM_EndlessCommandPoll)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
