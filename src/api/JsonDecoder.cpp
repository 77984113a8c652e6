#include "api/JsonDecoder.h"

#include "api/DecodingError.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

namespace quillet {

QString JsonDecoder::convertFromSnakeCase(const QString &key) {
    qsizetype first = 0;
    while (first < key.size() && key.at(first) == QLatin1Char('_'))
        ++first;
    if (first == key.size())
        return key;
    qsizetype last = key.size() - 1;
    while (key.at(last) == QLatin1Char('_'))
        --last;
    const QString core = key.mid(first, last - first + 1);
    const QStringList words = core.split(QLatin1Char('_'), Qt::SkipEmptyParts);
    if (words.size() == 1)
        return key;
    QString converted = words.first().toLower();
    for (qsizetype i = 1; i < words.size(); ++i)
        converted += words.at(i).left(1).toUpper() + words.at(i).mid(1).toLower();
    return key.left(first) + converted + key.mid(last + 1);
}

QJsonValue JsonDecoder::parse(const QByteArray &body) {
    // QJsonDocument takes only objects and arrays; wrapping lets a bare value parse as well.
    QJsonParseError error;
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArrayLiteral("[") + body + QByteArrayLiteral("]"), &error);
    if (error.error != QJsonParseError::NoError || body.trimmed().isEmpty() ||
        document.array().size() != 1)
        throw DecodingError(body.trimmed().isEmpty() ? QStringLiteral("the answer is empty")
                                                     : QStringLiteral("the answer is not JSON"));
    return document.array().first();
}

QJsonObject JsonDecoder::object(const QJsonValue &value) {
    if (!value.isObject())
        throw DecodingError(QStringLiteral("expected a JSON object"));
    QJsonObject converted;
    const QJsonObject raw = value.toObject();
    for (auto it = raw.begin(); it != raw.end(); ++it) {
        const QString key = convertFromSnakeCase(it.key());
        if (!converted.contains(key))
            converted.insert(key, it.value());
    }
    return converted;
}

QJsonArray JsonDecoder::array(const QJsonValue &value) {
    if (!value.isArray())
        throw DecodingError(QStringLiteral("expected a JSON array"));
    return value.toArray();
}

QString JsonDecoder::string(const QJsonObject &converted, const QString &field) {
    const QJsonValue value = converted.value(field);
    if (value.isUndefined())
        throw DecodingError(QStringLiteral("\"%1\" is missing").arg(field));
    if (!value.isString())
        throw DecodingError(QStringLiteral("\"%1\" is not a string").arg(field));
    return value.toString();
}

qint64 JsonDecoder::integer(const QJsonObject &converted, const QString &field) {
    const QJsonValue value = converted.value(field);
    if (value.isUndefined())
        throw DecodingError(QStringLiteral("\"%1\" is missing").arg(field));
    const double number = value.toDouble(NAN);
    if (!value.isDouble() || !std::isfinite(number) || std::trunc(number) != number ||
        std::abs(number) > 9.0e15)
        throw DecodingError(QStringLiteral("\"%1\" is not an integer").arg(field));
    return static_cast<qint64>(number);
}

QByteArray JsonDecoder::quoted(const QString &text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace quillet
