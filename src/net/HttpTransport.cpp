#include "net/HttpTransport.h"

#include "common/ApiRoutes.h"
#include "common/DeleteLater.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>
#include <memory>

namespace quillet {

namespace {

// How much the HTTP thread may read ahead of us. Without a limit it reads a fast server's body
// into memory as quickly as the socket delivers, long before we see it and can stop.
constexpr qint64 readAheadBytes = 256 * 1024;

// Errors the HTTP layer raises by itself, as opposed to those it derives from a status.
bool isTransportFailure(QNetworkReply::NetworkError error) {
    return error != QNetworkReply::NoError && (error < QNetworkReply::ContentAccessDenied ||
                                               (error >= QNetworkReply::ProtocolUnknownError &&
                                                error < QNetworkReply::InternalServerError));
}

} // namespace

HttpTransport::HttpTransport(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this)) {}

bool HttpTransport::isAllowed(const QUrl &url) {
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

std::optional<QString> HttpTransport::pathSegment(const QString &id) {
    return ApiRoutes::segment(id);
}

QCoro::Task<HttpResult> HttpTransport::send(QNetworkRequest request, QByteArray method,
                                            std::optional<QByteArray> payload) {
    HttpResult result;
    if (!isAllowed(request.url())) {
        result.failure = HttpResult::Failure::refused;
        co_return result;
    }
    request.setTransferTimeout(int(m_timeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        payload ? m_network->sendCustomRequest(request, method, *payload)
                : m_network->sendCustomRequest(request, method));
    QNetworkReply *raw = reply.get();
    // Qt passes the limit to its HTTP thread only once the request has started, and a request with
    // a payload starts from the event loop: the first call serves the others, the queued one it.
    raw->setReadBufferSize(readAheadBytes);
    QMetaObject::invokeMethod(
        raw, [raw] { raw->setReadBufferSize(readAheadBytes); }, Qt::QueuedConnection);

    // The body is taken as it arrives. Once it passes the cap, what was read is dropped and the
    // reply aborted at once (which finishes it, resuming this frame: nothing may follow).
    bool tooLarge = false;
    const auto refuse = [raw, &result, &tooLarge] {
        tooLarge = true;
        result.body = QByteArray();
        raw->abort();
    };
    const auto take = [raw, &result, &tooLarge, refuse] {
        if (tooLarge || !raw->isOpen()) // refused, or closed by a time-out
            return;
        if (raw->bytesAvailable() > maxBodyBytes - result.body.size())
            refuse();
        else
            result.body += raw->readAll();
    };
    connect(raw, &QNetworkReply::metaDataChanged, raw, [raw, &tooLarge, refuse] {
        if (!tooLarge &&
            raw->header(QNetworkRequest::ContentLengthHeader).toLongLong() > maxBodyBytes)
            refuse();
    });
    connect(raw, &QNetworkReply::readyRead, raw, take);
    // Queued: the abort resumes this frame, which must not happen inside the caller's emit.
    connect(this, &HttpTransport::cancelling, raw, &QNetworkReply::abort, Qt::QueuedConnection);
    co_await raw;
    // The guards above refer to this frame; nothing may call them once it is gone.
    QObject::disconnect(raw, nullptr, raw, nullptr);
    take();

    if (tooLarge) {
        result.failure = HttpResult::Failure::tooLarge;
        co_return result;
    }
    if (isTransportFailure(raw->error())) {
        result.failure = raw->error() == QNetworkReply::OperationCanceledError
                             ? HttpResult::Failure::timedOut
                             : HttpResult::Failure::transport;
        result.errorText = raw->errorString();
        result.body = QByteArray();
        co_return result;
    }
    result.status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    co_return result;
}

} // namespace quillet
