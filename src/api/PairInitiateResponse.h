#pragma once

#include "api/JsonDecoder.h"

#include <QString>

namespace quillet {

// A pairing code and its lifetime in seconds.
struct PairInitiateResponse {
    QString code;
    qint64 expiresIn = 0;

    static PairInitiateResponse decode(const QJsonValue &value) {
        const QJsonObject object = JsonDecoder::object(value);
        return {JsonDecoder::string(object, QStringLiteral("code")),
                JsonDecoder::integer(object, QStringLiteral("expiresIn"))};
    }
};

} // namespace quillet
