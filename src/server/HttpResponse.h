#pragma once

#include "server/EventStream.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <memory>

namespace quillet {

// What a handler answers: a status with a JSON (or empty) body, or an event stream that the
// network layer keeps writing until it ends.
struct HttpResponse {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    std::shared_ptr<EventStream> stream;

    static HttpResponse json(int status, const QJsonObject &object) {
        return {status,
                QByteArrayLiteral("application/json"),
                QJsonDocument(object).toJson(QJsonDocument::Compact),
                {},
                {}};
    }
    static HttpResponse json(int status, const QJsonArray &array) {
        return {status,
                QByteArrayLiteral("application/json"),
                QJsonDocument(array).toJson(QJsonDocument::Compact),
                {},
                {}};
    }
    static HttpResponse empty(int status) { return {status, {}, {}, {}, {}}; }
    // Errors carry one "error" member: a sentence for people, never a secret.
    static HttpResponse error(int status, const QString &message) {
        return json(status, QJsonObject{{QStringLiteral("error"), message}});
    }
};

} // namespace quillet
