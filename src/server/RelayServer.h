#pragma once

#include "server/AccountApi.h"
#include "server/AgentApi.h"
#include "server/Asio.h"
#include "server/EventHub.h"
#include "server/HttpServer.h"
#include "server/Metrics.h"
#include "server/PhoneApi.h"
#include "server/PushApi.h"
#include "server/PushSender.h"
#include "server/Router.h"
#include "server/ServerContext.h"
#include "server/ServerOptions.h"
#include "server/StaticFiles.h"
#include "server/Store.h"

#include <memory>

namespace quillet {

// The whole relay: store, routes and network on one io_context, run on the calling thread
// until SIGTERM or SIGINT (or stop()). Stopping drains: no new connections, held requests and
// event streams answer at once, and the run ends when the last connection has closed (or
// after `drainTimeout`).
class RelayServer {
public:
    // Opens the database, binds the port and fills the options' defaults (the public URL needs
    // the bound port); throws std::runtime_error with the reason.
    RelayServer(ServerOptions options, const QString &lanAddress);
    ~RelayServer();

    quint16 port() const { return m_http->port(); }
    const ServerOptions &options() const { return m_options; }
    QString databaseDescription() const;
    // Runs until stopped; answers the process's exit status.
    int run();
    // Thread-safe.
    void stop();

    std::chrono::milliseconds drainTimeout{30000};

private:
    asio::awaitable<void> drain();
    // Several instances on one PostgreSQL: each tells the others of a change, and wakes its
    // own waiters when told.
    void shareEventsWithOtherInstances();
    void serveMetrics(HttpServer::Limits limits);
    asio::awaitable<HttpResponse> metricsPage(const HttpRequest &, const Caller &,
                                              const QStringList &);
    // Deletes what outlived the retention age, now and then, until the drain.
    asio::awaitable<void> purgeOldThings();

    ServerOptions m_options;
    asio::io_context m_io{1};
    std::unique_ptr<Store> m_store;
    EventHub m_hub;
    std::unique_ptr<ServerContext> m_context;
    std::unique_ptr<Router> m_router;
    std::unique_ptr<HttpServer> m_http;
    std::unique_ptr<AccountApi> m_account;
    std::unique_ptr<AgentApi> m_agent;
    std::unique_ptr<PhoneApi> m_phone;
    StaticFiles m_pages;
    std::unique_ptr<PushSender> m_push;
    std::unique_ptr<PushApi> m_pushApi;
    Metrics m_metrics;
    std::unique_ptr<Router> m_metricsRouter;
    std::unique_ptr<HttpServer> m_metricsHttp;
    asio::signal_set m_signals{m_io};
    asio::steady_timer m_purgeTimer{m_io};
    bool m_draining = false;
};

} // namespace quillet
