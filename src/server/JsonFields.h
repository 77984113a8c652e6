#pragma once

#include "server/HttpRequest.h"
#include "server/HttpResponse.h"

#include <QJsonObject>
#include <QString>
#include <optional>

namespace quillet {

// Reads a request's JSON object member by member and remembers the first problem, so a
// handler checks everything and answers one clear 400.
class JsonFields {
public:
    // The body as an object; a body that is not one is a problem already.
    explicit JsonFields(const HttpRequest &request);
    explicit JsonFields(const QJsonObject &object) : m_object(object) {}

    // A string member, at most `maxLength` characters; `required` members must be non-empty.
    QString text(const char *key, int maxLength, bool required = true);
    // Absent or null gives nothing; another type is a problem.
    std::optional<QString> optionalText(const char *key, int maxLength);
    std::optional<bool> boolean(const char *key);
    QJsonObject object(const char *key);
    QJsonArray array(const char *key);
    void fail(const QString &problem);

    bool ok() const { return m_problem.isEmpty(); }
    const QString &problem() const { return m_problem; }
    HttpResponse badRequest() const { return HttpResponse::error(400, m_problem); }
    const QJsonObject &json() const { return m_object; }

private:
    QJsonObject m_object;
    QString m_problem;
};

} // namespace quillet
