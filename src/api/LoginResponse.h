#pragma once

#include "api/JsonDecoder.h"

#include <QString>

namespace quillet {

// The answer of both passkey completions.
struct LoginResponse {
    QString accessToken;
    QString refreshToken;
    QString userId;

    static LoginResponse decode(const QJsonValue &value) {
        const QJsonObject object = JsonDecoder::object(value);
        return {JsonDecoder::string(object, QStringLiteral("accessToken")),
                JsonDecoder::string(object, QStringLiteral("refreshToken")),
                JsonDecoder::string(object, QStringLiteral("userId"))};
    }
};

} // namespace quillet
