#include "server/HttpsClient.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace quillet {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct HttpsClient::Open {
    std::set<beast::tcp_stream *> streams;
    bool cancelled = false;
};

namespace {

constexpr std::uint64_t maxAnswerBytes = 64 * 1024;

// Registers a request's connection for cancelAll() for the length of a scope.
class OpenStream {
public:
    OpenStream(std::shared_ptr<void> owner, std::set<beast::tcp_stream *> &set,
               beast::tcp_stream *stream)
        : m_owner(std::move(owner)), m_set(set), m_stream(stream) {
        m_set.insert(m_stream);
    }
    ~OpenStream() { m_set.erase(m_stream); }
    OpenStream(const OpenStream &) = delete;
    OpenStream &operator=(const OpenStream &) = delete;

private:
    std::shared_ptr<void> m_owner;
    std::set<beast::tcp_stream *> &m_set;
    beast::tcp_stream *m_stream;
};

} // namespace

HttpsClient::HttpsClient(Timeouts timeouts)
    : m_timeouts(timeouts), m_open(std::make_shared<Open>()) {
    m_tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                      asio::ssl::context::no_tlsv1_1);
    m_tls.set_default_verify_paths();
    m_tls.set_verify_mode(asio::ssl::verify_peer);
}

HttpsClient::~HttpsClient() {
    cancelAll();
}

void HttpsClient::cancelAll() {
    m_open->cancelled = true;
    for (beast::tcp_stream *stream : m_open->streams)
        stream->cancel();
}

asio::awaitable<HttpsClient::Answer> HttpsClient::post(QUrl url, Headers headers, QByteArray body) {
    Answer answer;
    const std::shared_ptr<Open> open = m_open;
    if (open->cancelled) {
        answer.error = QStringLiteral("shutting down");
        co_return answer;
    }
    const std::string host = url.host(QUrl::FullyEncoded).toStdString();
    const int port = url.port(443);
    const auto executor = co_await asio::this_coro::executor;
    tcp::resolver resolver(executor);
    beast::ssl_stream<beast::tcp_stream> stream(executor, m_tls);
    beast::tcp_stream &tcpStream = beast::get_lowest_layer(stream);
    const OpenStream registered(open, open->streams, &tcpStream);
    try {
        boost::system::error_code notAddress;
        const auto address = asio::ip::make_address(host, notAddress);
        // Server name indication is for names only, never for an address.
        if (notAddress && !SSL_set_tlsext_host_name(stream.native_handle(), host.c_str()))
            throw boost::system::system_error(
                boost::system::error_code(int(::ERR_get_error()), asio::error::get_ssl_category()));
        stream.set_verify_callback(asio::ssl::host_name_verification(host));

        const auto endpoints =
            co_await resolver.async_resolve(host, std::to_string(port), asio::use_awaitable);
        if (open->cancelled)
            throw boost::system::system_error(asio::error::operation_aborted);
        tcpStream.expires_after(m_timeouts.connect);
        co_await tcpStream.async_connect(endpoints, asio::use_awaitable);
        co_await stream.async_handshake(asio::ssl::stream_base::client, asio::use_awaitable);

        QByteArray target = url.path(QUrl::FullyEncoded).toUtf8();
        if (target.isEmpty())
            target = "/";
        if (url.hasQuery())
            target += '?' + url.query(QUrl::FullyEncoded).toUtf8();
        http::request<http::string_body> request{http::verb::post, target.toStdString(), 11};
        std::string hostHeader = address.is_v6() && !notAddress ? '[' + host + ']' : host;
        if (port != 443)
            hostHeader += ':' + std::to_string(port);
        request.set(http::field::host, hostHeader);
        request.set(http::field::user_agent, "quillet-server/" QUILLET_VERSION);
        request.set(http::field::connection, "close");
        for (const auto &[name, value] : headers)
            request.set(beast::string_view(name.constData(), std::size_t(name.size())),
                        beast::string_view(value.constData(), std::size_t(value.size())));
        request.body().assign(body.constData(), std::size_t(body.size()));
        request.prepare_payload();
        tcpStream.expires_after(m_timeouts.write);
        co_await http::async_write(stream, request, asio::use_awaitable);

        beast::flat_buffer buffer;
        http::response_parser<http::string_body> parser;
        parser.body_limit(maxAnswerBytes);
        tcpStream.expires_after(m_timeouts.read);
        co_await http::async_read(stream, buffer, parser, asio::use_awaitable);
        answer.status = int(parser.get().result_int());
        const auto retryAfter = parser.get().find(http::field::retry_after);
        if (retryAfter != parser.get().end())
            answer.retryAfter =
                QByteArray(retryAfter->value().data(), qsizetype(retryAfter->value().size()));
    } catch (const boost::system::system_error &error) {
        answer.error = error.code() == beast::error::timeout
                           ? QStringLiteral("no answer in time")
                           : QString::fromStdString(error.code().message());
    }
    boost::system::error_code ignored;
    tcpStream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    tcpStream.close();
    co_return answer;
}

} // namespace quillet
