#pragma once

#include "api/JsonDecoder.h"

#include <QString>

namespace quillet {

// The answer of a token refresh.
struct RefreshResponse {
    QString accessToken;
    QString refreshToken;

    static RefreshResponse decode(const QJsonValue &value) {
        const QJsonObject object = JsonDecoder::object(value);
        return {JsonDecoder::string(object, QStringLiteral("accessToken")),
                JsonDecoder::string(object, QStringLiteral("refreshToken"))};
    }
};

} // namespace quillet
