#pragma once

#include "server/Asio.h"

#include <QString>
#include <boost/asio/ssl.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace quillet {

class Router;

// The network layer: accepts connections and runs one coroutine per connection (Beast, HTTP/1.1
// with keep-alive, optionally TLS). Every read has a deadline and every body a size limit, so a
// slow or hostile client costs one small coroutine for a bounded time, never a thread.
class HttpServer {
public:
    struct Limits {
        std::size_t bodyBytes = 1024 * 1024;
        std::size_t headerBytes = 16 * 1024;
        // From a connection's last answer (or its opening) to the first byte of a request.
        std::chrono::milliseconds idle{60000};
        // From the first byte of a request to the end of its header.
        std::chrono::milliseconds header{10000};
        // For the body, and for writing each answer.
        std::chrono::milliseconds transfer{30000};
        int maxConnections = 10000;
    };

    HttpServer(asio::io_context &io, Router &router, Limits limits);
    ~HttpServer();

    // Serves HTTPS with this PEM chain and key; throws std::runtime_error when they do not load.
    void useTls(const QString &certificateFile, const QString &keyFile);
    // Binds and listens; throws std::runtime_error with the reason.
    void listen(const QString &address, quint16 port);
    quint16 port() const;
    // Starts accepting on the io_context.
    void start();
    // Stops accepting and closes idle connections; busy ones finish their current request,
    // then close.
    void stopAccepting();
    int openConnections() const { return m_connections; }
    bool isDraining() const { return m_draining; }

private:
    asio::awaitable<void> acceptLoop();
    template <typename Stream> asio::awaitable<void> serve(Stream &stream, QString remote);
    asio::awaitable<void> servePlain(asio::ip::tcp::socket socket);
    asio::awaitable<void> serveTls(asio::ip::tcp::socket socket);

    asio::io_context &m_io;
    Router &m_router;
    Limits m_limits;
    asio::ip::tcp::acceptor m_acceptor;
    std::unique_ptr<asio::ssl::context> m_tls;
    // Connections waiting for their next request, closed at once when the server drains.
    std::map<quint64, std::function<void()>> m_idle;
    quint64 m_nextIdle = 0;
    int m_connections = 0;
    bool m_draining = false;
};

} // namespace quillet
