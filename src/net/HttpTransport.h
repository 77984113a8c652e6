#pragma once

#include "net/HttpResult.h"

#include <QCoroTask>
#include <QNetworkRequest>
#include <QObject>
#include <chrono>
#include <optional>

class QNetworkAccessManager;

namespace quillet {

// The one HTTP policy of both server clients; each puts its own error style on top. Only http and
// https with a host are spoken, so a credential never reaches another scheme handler (file:,
// data:); a redirect is answered as the status it is, since following it could carry the
// credential elsewhere; a body is read as it arrives and refused past `maxBodyBytes`, so a server
// cannot make the client hold more. The transport must outlive the requests it has in flight.
class HttpTransport : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 maxBodyBytes = 8 * 1024 * 1024;

    explicit HttpTransport(QObject *parent = nullptr);

    // A request fails when its transfer stalls for this long (60 s unless set).
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    static bool isAllowed(const QUrl &url);

    // An id as exactly one percent-encoded path segment, so "/", "?" or "#" cannot reach another
    // endpoint; ids the server issues (UUIDs, plain words) come out unchanged. Empty and dot
    // segments are refused: URLs decode "%2E" back to "." and then drop dot segments.
    static std::optional<QString> pathSegment(const QString &id);

    // Sends `request` (its URL and headers) with `method`. Without a payload no body is sent,
    // not even an empty one.
    QCoro::Task<HttpResult> send(QNetworkRequest request, QByteArray method,
                                 std::optional<QByteArray> payload);

    // Ends every request in flight from the event loop, each as a time-out ends it.
    void cancelAll() { Q_EMIT cancelling(); }

Q_SIGNALS:
    void cancelling();

private:
    QNetworkAccessManager *m_network;
    std::chrono::milliseconds m_timeout{60000};
};

} // namespace quillet
