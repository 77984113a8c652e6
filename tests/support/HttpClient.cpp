#include "support/HttpClient.h"

#include "common/DeleteLater.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>
#include <memory>

namespace quillet::test {

HttpAnswer HttpClient::send(const QByteArray &method, const QString &path, const QByteArray &body,
                            const QString &token, int timeoutMs) {
    QNetworkRequest request(QUrl(m_baseUrl + path));
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
    for (auto header = headers.cbegin(); header != headers.cend(); ++header)
        request.setRawHeader(header.key(), header.value());
    request.setTransferTimeout(timeoutMs);
    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        m_network.sendCustomRequest(request, method, body));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    HttpAnswer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    for (const auto &[name, value] : reply->rawHeaderPairs())
        answer.headers.insert(name.toLower(), value);
    return answer;
}

} // namespace quillet::test
