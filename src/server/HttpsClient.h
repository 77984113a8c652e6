#pragma once

#include "server/Asio.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <boost/asio/ssl.hpp>
#include <chrono>
#include <memory>
#include <set>

namespace quillet {

// One HTTPS POST at a time per call, from the server's io_context: the peer's certificate is
// checked against the system's trust store (OpenSSL's default paths, so SSL_CERT_FILE and
// SSL_CERT_DIR apply) and the URL's host, and every step has a deadline, so a peer that never
// answers costs one small coroutine for a bounded time.
class HttpsClient {
public:
    struct Timeouts {
        // Resolving aside: connecting and the TLS handshake.
        std::chrono::milliseconds connect{10000};
        std::chrono::milliseconds write{10000};
        // From the request's last byte to the answer's last.
        std::chrono::milliseconds read{15000};
    };
    struct Answer {
        // 0 when no HTTP answer came; `error` says why.
        int status = 0;
        QByteArray retryAfter;
        QString error;
    };
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    explicit HttpsClient(Timeouts timeouts);
    ~HttpsClient();

    // Never throws; the answer's body is read (up to a small limit) and dropped.
    asio::awaitable<Answer> post(QUrl url, Headers headers, QByteArray body);
    // Ends every request in flight at once and refuses new ones (shutdown).
    void cancelAll();

private:
    struct Open;
    Timeouts m_timeouts;
    asio::ssl::context m_tls{asio::ssl::context::tls_client};
    // Shared with the requests in flight, which may outlive this object when the io_context
    // is torn down with them still suspended.
    std::shared_ptr<Open> m_open;
};

} // namespace quillet
