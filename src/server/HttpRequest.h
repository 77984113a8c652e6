#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QUrlQuery>

namespace quillet {

// One request as the router sees it, in Qt types, detached from the network layer.
struct HttpRequest {
    QByteArray method;
    // The path as sent, percent-encoded, without the query.
    QString path;
    QUrlQuery query;
    // Header names in lower case.
    QHash<QByteArray, QByteArray> headers;
    QByteArray body;
    QString remoteAddress;

    QByteArray header(const char *name) const { return headers.value(QByteArray(name)); }
    // The bearer token of the Authorization header, empty without one.
    QString bearerToken() const {
        const QByteArray value = header("authorization");
        if (!value.startsWith("Bearer ") && !value.startsWith("bearer "))
            return {};
        return QString::fromUtf8(value.mid(7).trimmed());
    }
};

} // namespace quillet
