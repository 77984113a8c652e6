#pragma once

#include "api/JsonDecoder.h"

#include <QString>

namespace quillet {

// A newly created agent API key; `key` is the secret.
struct ApiKeyCreatedResponse {
    QString id;
    QString label;
    QString key;

    static ApiKeyCreatedResponse decode(const QJsonValue &value) {
        const QJsonObject object = JsonDecoder::object(value);
        return {JsonDecoder::string(object, QStringLiteral("id")),
                JsonDecoder::string(object, QStringLiteral("label")),
                JsonDecoder::string(object, QStringLiteral("key"))};
    }
};

} // namespace quillet
