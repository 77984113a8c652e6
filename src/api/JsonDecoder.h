#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

namespace quillet {

// Reads the server's answers into records. Keys are matched after the snake_case rule: split at
// underscores, lower-case the first word, capitalise every later one, keep leading and trailing
// underscores; a key without underscores is used unchanged. So "access_token" and "accessToken"
// both fill the field accessToken. Every failure throws DecodingError.
class JsonDecoder {
public:
    static QString convertFromSnakeCase(const QString &key);

    static QJsonValue parse(const QByteArray &body);
    // The object with its keys converted.
    static QJsonObject object(const QJsonValue &value);
    static QJsonArray array(const QJsonValue &value);
    static QString string(const QJsonObject &converted, const QString &field);
    static qint64 integer(const QJsonObject &converted, const QString &field);

    template <typename Record> static Record decode(const QByteArray &body) {
        return Record::decode(parse(body));
    }

    // `text` as a JSON string literal, quotes included, for JSON written by hand.
    static QByteArray quoted(const QString &text);
};

} // namespace quillet
