#pragma once

#include <QJsonValue>
#include <QString>

namespace quillet {

// The outcome of one store operation that may find nothing or clash with the state it finds.
struct StoreReply {
    enum class Outcome { ok, notFound, conflict, refused };
    Outcome outcome = Outcome::ok;
    QJsonValue value;
    // Why a conflict or refusal happened, for the answer's "error".
    QString reason;
    // The user the operation concerned, for the event hub.
    QString userId;

    bool ok() const { return outcome == Outcome::ok; }
    static StoreReply notFound() { return {Outcome::notFound, {}, {}, {}}; }
    static StoreReply conflict(const QString &why) { return {Outcome::conflict, {}, why, {}}; }
    static StoreReply refused(const QString &why) { return {Outcome::refused, {}, why, {}}; }
    static StoreReply found(const QJsonValue &value, const QString &userId = {}) {
        return {Outcome::ok, value, {}, userId};
    }
};

} // namespace quillet
