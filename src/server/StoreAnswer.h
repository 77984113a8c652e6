#pragma once

#include "server/HttpResponse.h"
#include "server/StoreReply.h"

#include <QJsonArray>

namespace quillet {

// The answer for a store reply: its value with `status`, or the error its outcome means.
inline HttpResponse storeAnswer(const StoreReply &reply, int status, const QString &notFound) {
    switch (reply.outcome) {
    case StoreReply::Outcome::ok:
        if (reply.value.isArray())
            return HttpResponse::json(status, reply.value.toArray());
        return HttpResponse::json(status, reply.value.toObject());
    case StoreReply::Outcome::notFound:
        return HttpResponse::error(404, notFound);
    case StoreReply::Outcome::conflict:
        return HttpResponse::error(409, reply.reason);
    case StoreReply::Outcome::refused:
        return HttpResponse::error(403, reply.reason);
    }
    return HttpResponse::error(500, QString());
}

} // namespace quillet
