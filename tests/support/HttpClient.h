#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QString>

namespace quillet::test {

struct HttpAnswer {
    int status = 0; // 0: no HTTP answer
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case

    QJsonObject object() const { return QJsonDocument::fromJson(body).object(); }
    QJsonArray array() const { return QJsonDocument::fromJson(body).array(); }
    QString text(const char *key) const { return object().value(QLatin1String(key)).toString(); }
};

// Plain blocking HTTP calls for tests, against one base URL, with an optional bearer token.
class HttpClient {
public:
    explicit HttpClient(QString baseUrl) : m_baseUrl(std::move(baseUrl)) {}

    HttpAnswer send(const QByteArray &method, const QString &path, const QByteArray &body = {},
                    const QString &token = {}, int timeoutMs = 30000);
    HttpAnswer json(const QByteArray &method, const QString &path, const QJsonObject &body,
                    const QString &token = {}) {
        return send(method, path, QJsonDocument(body).toJson(QJsonDocument::Compact), token);
    }
    HttpAnswer get(const QString &path, const QString &token = {}) {
        return send("GET", path, {}, token);
    }

    // Sent with every request, beside the credential.
    QHash<QByteArray, QByteArray> headers;

private:
    QString m_baseUrl;
    QNetworkAccessManager m_network;
};

} // namespace quillet::test
