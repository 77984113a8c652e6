#pragma once

#include "api/JsonDecoder.h"

#include <QString>

namespace quillet {

// One phone paired with the account; the timestamps stay text.
struct PairedDeviceResponse {
    QString id;
    QString deviceName;
    QString deviceType;
    QString createdAt;
    QString lastSeenAt;

    static PairedDeviceResponse decode(const QJsonValue &value) {
        const QJsonObject object = JsonDecoder::object(value);
        return {JsonDecoder::string(object, QStringLiteral("id")),
                JsonDecoder::string(object, QStringLiteral("deviceName")),
                JsonDecoder::string(object, QStringLiteral("deviceType")),
                JsonDecoder::string(object, QStringLiteral("createdAt")),
                JsonDecoder::string(object, QStringLiteral("lastSeenAt"))};
    }
};

} // namespace quillet
