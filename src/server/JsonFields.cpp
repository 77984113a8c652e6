#include "server/JsonFields.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace quillet {

JsonFields::JsonFields(const HttpRequest &request) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError)
        fail(QStringLiteral("The body is not JSON."));
    else if (!document.isObject())
        fail(QStringLiteral("The body must be a JSON object."));
    else
        m_object = document.object();
}

void JsonFields::fail(const QString &problem) {
    if (m_problem.isEmpty())
        m_problem = problem;
}

QString JsonFields::text(const char *key, int maxLength, bool required) {
    const QJsonValue value = m_object.value(QLatin1String(key));
    if (!value.isString()) {
        fail(QStringLiteral("\"%1\" must be a string.").arg(QLatin1String(key)));
        return {};
    }
    const QString text = value.toString();
    if (required && text.trimmed().isEmpty())
        fail(QStringLiteral("\"%1\" must not be empty.").arg(QLatin1String(key)));
    else if (text.size() > maxLength)
        fail(QStringLiteral("\"%1\" is longer than %2 characters.")
                 .arg(QLatin1String(key))
                 .arg(maxLength));
    return text;
}

std::optional<QString> JsonFields::optionalText(const char *key, int maxLength) {
    const QJsonValue value = m_object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    return text(key, maxLength, false);
}

std::optional<bool> JsonFields::boolean(const char *key) {
    const QJsonValue value = m_object.value(QLatin1String(key));
    if (!value.isBool()) {
        fail(QStringLiteral("\"%1\" must be true or false.").arg(QLatin1String(key)));
        return std::nullopt;
    }
    return value.toBool();
}

QJsonObject JsonFields::object(const char *key) {
    const QJsonValue value = m_object.value(QLatin1String(key));
    if (!value.isObject())
        fail(QStringLiteral("\"%1\" must be an object.").arg(QLatin1String(key)));
    return value.toObject();
}

QJsonArray JsonFields::array(const char *key) {
    const QJsonValue value = m_object.value(QLatin1String(key));
    if (!value.isArray())
        fail(QStringLiteral("\"%1\" must be an array.").arg(QLatin1String(key)));
    return value.toArray();
}

} // namespace quillet
