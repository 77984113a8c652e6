#include "server/RelayServer.h"

#include "server/Database.h"

#include <QLoggingCategory>
#include <QUrl>

Q_LOGGING_CATEGORY(lcRelay, "lorvo.fennick.quillet-server.RelayServer")

namespace quillet {

RelayServer::RelayServer(ServerOptions options, const QString &lanAddress)
    : m_options(std::move(options)) {
    if (m_options.database.isEmpty())
        m_options.database = ServerOptions::defaultDatabasePath();
    m_store = std::make_unique<Store>(m_options.database);
    m_router = std::make_unique<Router>(*m_store);
    HttpServer::Limits limits;
    // Tuning for slow links and for tests; the defaults suit a relay on the internet.
    if (const int ms = qEnvironmentVariableIntValue("QUILLET_SERVER_HEADER_TIMEOUT_MS"); ms > 0)
        limits.header = std::chrono::milliseconds(ms);
    if (const int ms = qEnvironmentVariableIntValue("QUILLET_SERVER_IDLE_TIMEOUT_MS"); ms > 0)
        limits.idle = std::chrono::milliseconds(ms);
    m_http = std::make_unique<HttpServer>(m_io, *m_router, limits);
    if (!m_options.tlsCertificate.isEmpty())
        m_http->useTls(m_options.tlsCertificate, m_options.tlsKey);
    m_http->listen(m_options.listenAddress, m_options.port);
    m_options.port = m_http->port();
    m_options.resolveDefaults(lanAddress);

    if (m_store->driverName() != QLatin1String("SQLite"))
        shareEventsWithOtherInstances();

    m_push = std::make_unique<PushSender>(m_io, *m_store, m_options);
    m_context = std::make_unique<ServerContext>(m_options, *m_store, m_hub);
    m_context->push = m_push.get();
    m_account = std::make_unique<AccountApi>(*m_context);
    m_agent = std::make_unique<AgentApi>(*m_context);
    m_phone = std::make_unique<PhoneApi>(*m_context);
    if (!m_options.metricsAddress.isEmpty())
        serveMetrics(limits);
    m_account->addRoutes(*m_router);
    m_agent->addRoutes(*m_router);
    m_phone->addRoutes(*m_router);
    m_pushApi = std::make_unique<PushApi>(*m_context);
    m_pushApi->addRoutes(*m_router);
    m_router->setPageHandler([this](const HttpRequest &request) { return m_pages.serve(request); });
}

RelayServer::~RelayServer() = default;

void RelayServer::shareEventsWithOtherInstances() {
    Store *store = m_store.get();
    m_hub.announceWith([store](const QString &userId) {
        store->enqueue([userId](Database &database) { database.announce(userId); });
    });
    const auto listen = [this](Database &database) {
        database.onWake([this](const QString &userId, qint64 lagMs) {
            asio::post(m_io, [this, userId, lagMs] {
                if (userId.isEmpty()) {
                    m_hub.wakeAll();
                    return;
                }
                m_metrics.noteWakeLag(lagMs);
                m_hub.wake(userId);
            });
        });
        return true;
    };
    m_store->runNow<bool>(listen);
}

QString RelayServer::databaseDescription() const {
    if (m_store->driverName() == QLatin1String("SQLite"))
        return QStringLiteral("SQLite, %1").arg(m_options.database);
    // The URL may carry a password: show where, never how.
    const QUrl url(m_options.database);
    return QStringLiteral("PostgreSQL, %1/%2").arg(url.host(), url.path().mid(1));
}

int RelayServer::run() {
    m_signals.add(SIGTERM);
    m_signals.add(SIGINT);
    m_signals.async_wait([this](const boost::system::error_code &error, int signal) {
        if (error)
            return;
        qCInfo(lcRelay, "%s: finishing open requests", signal == SIGTERM ? "SIGTERM" : "SIGINT");
        asio::co_spawn(m_io, drain(), asio::detached);
    });
    if (m_options.retention.count() > 0)
        asio::co_spawn(m_io, purgeOldThings(), asio::detached);
    m_http->start();
    if (m_metricsHttp) {
        m_metricsHttp->start();
        qCInfo(lcRelay, "metrics on %s:%u", qUtf8Printable(m_options.metricsAddress),
               m_metricsHttp->port());
    }
    qCInfo(lcRelay, "listening on %s:%u", qUtf8Printable(m_options.listenAddress), port());
    m_io.run();
    qCInfo(lcRelay, "stopped");
    return 0;
}

void RelayServer::stop() {
    asio::post(m_io, [this] { asio::co_spawn(m_io, drain(), asio::detached); });
}

void RelayServer::serveMetrics(HttpServer::Limits limits) {
    m_router->countInto(&m_metrics);
    m_metricsRouter = std::make_unique<Router>(*m_store);
    m_metricsRouter->add("GET", "/metrics", CredentialKind::none,
                         Router::bind(this, &RelayServer::metricsPage));
    m_metricsHttp = std::make_unique<HttpServer>(m_io, *m_metricsRouter, limits);
    m_metricsHttp->listen(m_options.metricsAddress, m_options.metricsPort);
}

asio::awaitable<HttpResponse> RelayServer::metricsPage(const HttpRequest &, const Caller &,
                                                       const QStringList &) {
    int streams = 0;
    for (const int count : std::as_const(m_context->openStreams))
        streams += count;
    const Metrics::Gauges gauges{m_hub.waiterCount(), streams, m_store->operations(),
                                 m_store->busySeconds()};
    co_return HttpResponse{
        200, QByteArrayLiteral("text/plain; version=0.0.4"), m_metrics.text(gauges), {}, {}};
}

asio::awaitable<void> RelayServer::purgeOldThings() {
    // Often enough that nothing stays much past its age, rarely enough to cost nothing.
    const auto every = std::clamp<std::chrono::seconds>(
        m_options.retention / 4, std::chrono::seconds(1), std::chrono::hours(1));
    const auto age = m_options.retention;
    const auto purge = [age](Database &database) { return database.purge(age); };
    while (!m_draining) {
        try {
            if (const int deleted = co_await m_store->run<int>(purge))
                qCInfo(lcRelay, "retention: %d old record(s) deleted", deleted);
        } catch (const std::exception &error) {
            qCWarning(lcRelay, "retention: %s", error.what());
        }
        m_purgeTimer.expires_after(every);
        boost::system::error_code ignored;
        co_await m_purgeTimer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
}

asio::awaitable<void> RelayServer::drain() {
    if (m_draining)
        co_return;
    m_draining = true;
    boost::system::error_code ignored;
    m_signals.cancel(ignored);
    m_http->stopAccepting();
    // A question posted from now on is still stored; its push is not worth holding the exit.
    m_push->stop();
    if (m_metricsHttp)
        m_metricsHttp->stopAccepting();
    // Held replies answer with what they have; event streams end.
    m_hub.close();
    m_purgeTimer.cancel();
    const auto deadline = std::chrono::steady_clock::now() + drainTimeout;
    asio::steady_timer tick(m_io);
    while (m_http->openConnections() > 0 && std::chrono::steady_clock::now() < deadline) {
        tick.expires_after(std::chrono::milliseconds(20));
        co_await tick.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (m_http->openConnections() > 0) {
        qCWarning(lcRelay, "%d connection(s) still open after %lld ms: closing them",
                  m_http->openConnections(), static_cast<long long>(drainTimeout.count()));
        m_io.stop();
    }
    // A scraper's keep-alive connection is no reason to stay.
    if (m_metricsHttp)
        m_io.stop();
}

} // namespace quillet
