#include "server/HttpServer.h"

#include "server/Router.h"

#include <QLoggingCategory>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

Q_LOGGING_CATEGORY(lcHttp, "lorvo.fennick.quillet-server.HttpServer")

namespace quillet {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

template <typename Stream> beast::tcp_stream &lowest(Stream &stream) {
    return beast::get_lowest_layer(stream);
}

HttpRequest toRequest(const http::request<http::string_body> &message, const QString &remote) {
    HttpRequest request;
    request.method =
        QByteArray(message.method_string().data(), qsizetype(message.method_string().size()));
    const QByteArray target(message.target().data(), qsizetype(message.target().size()));
    const qsizetype question = target.indexOf('?');
    request.path = QString::fromUtf8(question < 0 ? target : target.left(question));
    if (question >= 0)
        request.query = QUrlQuery(QString::fromUtf8(target.mid(question + 1)));
    for (const auto &field : message)
        request.headers.insert(
            QByteArray(field.name_string().data(), qsizetype(field.name_string().size())).toLower(),
            QByteArray(field.value().data(), qsizetype(field.value().size())));
    request.body = QByteArray(message.body().data(), qsizetype(message.body().size()));
    request.remoteAddress = remote;
    return request;
}

void commonHeaders(http::fields &fields) {
    fields.set(http::field::server, "quillet-server");
    fields.set(http::field::cache_control, "no-store");
    fields.set("X-Content-Type-Options", "nosniff");
}

http::response<http::string_body> toMessage(const HttpResponse &response, unsigned version,
                                            bool keepAlive) {
    http::response<http::string_body> message{http::int_to_status(unsigned(response.status)),
                                              version};
    commonHeaders(message.base());
    if (!response.contentType.isEmpty())
        message.set(http::field::content_type, response.contentType.toStdString());
    for (const auto &[name, value] : response.headers)
        message.set(name.toStdString(), value.toStdString());
    message.body().assign(response.body.constData(), std::size_t(response.body.size()));
    message.keep_alive(keepAlive);
    message.prepare_payload();
    return message;
}

} // namespace

HttpServer::HttpServer(asio::io_context &io, Router &router, Limits limits)
    : m_io(io), m_router(router), m_limits(limits), m_acceptor(io) {}

HttpServer::~HttpServer() = default;

void HttpServer::useTls(const QString &certificateFile, const QString &keyFile) {
    m_tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    m_tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1);
    boost::system::error_code error;
    m_tls->use_certificate_chain_file(certificateFile.toStdString(), error);
    if (!error)
        m_tls->use_private_key_file(keyFile.toStdString(), asio::ssl::context::pem, error);
    if (error)
        throw std::runtime_error("cannot load the TLS certificate or key: " + error.message());
}

void HttpServer::listen(const QString &address, quint16 port) {
    boost::system::error_code error;
    const auto ip = asio::ip::make_address(address.toStdString(), error);
    if (error)
        throw std::runtime_error("'" + address.toStdString() + "' is not an IP address");
    const tcp::endpoint endpoint(ip, port);
    m_acceptor.open(endpoint.protocol(), error);
    if (!error)
        m_acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error)
        m_acceptor.bind(endpoint, error);
    if (!error)
        m_acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error)
        throw std::runtime_error("cannot listen on " + address.toStdString() + ":" +
                                 std::to_string(port) + ": " + error.message());
}

quint16 HttpServer::port() const {
    boost::system::error_code error;
    return m_acceptor.local_endpoint(error).port();
}

void HttpServer::start() {
    asio::co_spawn(m_io, acceptLoop(), asio::detached);
}

void HttpServer::stopAccepting() {
    m_draining = true;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    const auto idle = std::move(m_idle);
    for (const auto &[id, close] : idle)
        close();
}

asio::awaitable<void> HttpServer::acceptLoop() {
    while (m_acceptor.is_open()) {
        boost::system::error_code error;
        tcp::socket socket =
            co_await m_acceptor.async_accept(asio::redirect_error(asio::use_awaitable, error));
        if (error) {
            if (error == asio::error::operation_aborted || !m_acceptor.is_open())
                break;
            // Out of descriptors, say: pause instead of spinning.
            qCWarning(lcHttp, "accept failed: %s", error.message().c_str());
            asio::steady_timer pause(m_io, std::chrono::milliseconds(100));
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, error));
            continue;
        }
        if (m_connections >= m_limits.maxConnections) {
            socket.close(error);
            continue;
        }
        socket.set_option(tcp::no_delay(true), error);
        if (m_tls)
            asio::co_spawn(m_io, serveTls(std::move(socket)), asio::detached);
        else
            asio::co_spawn(m_io, servePlain(std::move(socket)), asio::detached);
    }
}

asio::awaitable<void> HttpServer::servePlain(tcp::socket socket) {
    boost::system::error_code error;
    const QString remote =
        QString::fromStdString(socket.remote_endpoint(error).address().to_string());
    beast::tcp_stream stream(std::move(socket));
    ++m_connections;
    try {
        co_await serve(stream, remote);
    } catch (const std::exception &) {
        // A connection's failure ends that connection only.
    }
    --m_connections;
    stream.socket().shutdown(tcp::socket::shutdown_send, error);
}

asio::awaitable<void> HttpServer::serveTls(tcp::socket socket) {
    boost::system::error_code error;
    const QString remote =
        QString::fromStdString(socket.remote_endpoint(error).address().to_string());
    beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *m_tls);
    ++m_connections;
    try {
        beast::get_lowest_layer(stream).expires_after(m_limits.header);
        co_await stream.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
        co_await serve(stream, remote);
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(2));
        co_await stream.async_shutdown(asio::redirect_error(asio::use_awaitable, error));
    } catch (const std::exception &) {
    }
    --m_connections;
}

template <typename Stream> asio::awaitable<void> HttpServer::serve(Stream &stream, QString remote) {
    beast::flat_buffer buffer;
    while (!m_draining) {
        boost::system::error_code error;
        // Idle: nothing of a request has come yet.
        if (buffer.size() == 0) {
            lowest(stream).expires_after(m_limits.idle);
            const quint64 idleId = ++m_nextIdle;
            m_idle.emplace(idleId, [&stream] { lowest(stream).cancel(); });
            const std::size_t read = co_await stream.async_read_some(
                buffer.prepare(4096), asio::redirect_error(asio::use_awaitable, error));
            m_idle.erase(idleId);
            if (error || m_draining)
                co_return;
            buffer.commit(read);
        }
        // The header must be complete soon after its first byte: a client trickling it in
        // byte by byte is cut off at this deadline.
        http::request_parser<http::string_body> parser;
        parser.header_limit(std::uint32_t(m_limits.headerBytes));
        parser.body_limit(m_limits.bodyBytes);
        lowest(stream).expires_after(m_limits.header);
        co_await http::async_read_header(stream, buffer, parser,
                                         asio::redirect_error(asio::use_awaitable, error));
        const unsigned version = parser.get().version() ? parser.get().version() : 11;
        if (error == http::error::body_limit) {
            auto message = toMessage(
                HttpResponse::error(413, QStringLiteral("The request body is too large.")), version,
                false);
            lowest(stream).expires_after(m_limits.transfer);
            co_await http::async_write(stream, message,
                                       asio::redirect_error(asio::use_awaitable, error));
            co_return;
        }
        if (error) {
            if (error == http::error::header_limit || error == http::error::bad_target ||
                error == http::error::bad_method || error == http::error::bad_version ||
                error == http::error::bad_field || error == http::error::bad_value) {
                auto message =
                    toMessage(HttpResponse::error(error == http::error::header_limit ? 431 : 400,
                                                  QStringLiteral("Malformed request.")),
                              version, false);
                lowest(stream).expires_after(m_limits.transfer);
                co_await http::async_write(stream, message,
                                           asio::redirect_error(asio::use_awaitable, error));
            }
            co_return;
        }
        if (beast::iequals(parser.get()[http::field::expect], "100-continue")) {
            http::response<http::empty_body> proceed{http::status::continue_, version};
            lowest(stream).expires_after(m_limits.transfer);
            co_await http::async_write(stream, proceed, asio::use_awaitable);
        }
        lowest(stream).expires_after(m_limits.transfer);
        co_await http::async_read(stream, buffer, parser,
                                  asio::redirect_error(asio::use_awaitable, error));
        if (error == http::error::body_limit) {
            auto message = toMessage(
                HttpResponse::error(413, QStringLiteral("The request body is too large.")), version,
                false);
            lowest(stream).expires_after(m_limits.transfer);
            co_await http::async_write(stream, message,
                                       asio::redirect_error(asio::use_awaitable, error));
            co_return;
        }
        if (error)
            co_return;

        const http::request<http::string_body> message = parser.release();
        const HttpRequest request = toRequest(message, remote);
        // No deadline while the handler works: a held request waits by design, and its own
        // limit ends the wait.
        lowest(stream).expires_never();
        const HttpResponse response = co_await m_router.handle(request);
        const bool keepAlive = message.keep_alive() && !m_draining;

        if (response.stream) {
            http::response<http::empty_body> head{http::int_to_status(unsigned(response.status)),
                                                  version};
            commonHeaders(head.base());
            head.set(http::field::content_type, "text/event-stream; charset=utf-8");
            head.set("X-Accel-Buffering", "no");
            head.chunked(true);
            head.keep_alive(false);
            http::response_serializer<http::empty_body> serializer{head};
            lowest(stream).expires_after(m_limits.transfer);
            co_await http::async_write_header(stream, serializer, asio::use_awaitable);
            for (;;) {
                const std::optional<QByteArray> piece = co_await response.stream->next();
                if (!piece)
                    break;
                lowest(stream).expires_after(m_limits.transfer);
                co_await asio::async_write(
                    stream, http::make_chunk(asio::buffer(piece->constData(), piece->size())),
                    asio::use_awaitable);
            }
            lowest(stream).expires_after(m_limits.transfer);
            co_await asio::async_write(stream, http::make_chunk_last(), asio::use_awaitable);
            co_return;
        }

        auto answer = toMessage(response, version, keepAlive);
        lowest(stream).expires_after(m_limits.transfer);
        co_await http::async_write(stream, answer, asio::use_awaitable);
        if (!keepAlive)
            co_return;
    }
}

} // namespace quillet
