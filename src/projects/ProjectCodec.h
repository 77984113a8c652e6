#pragma once

#include "projects/Project.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <optional>

namespace quillet {

// The projects file format: a JSON array of project objects, members in a fixed order,
// pretty-printed with two-space indents and " : ", "/" written as "\/". Reads are strict: one bad
// member fails the whole file, so a damaged file is never half-loaded.
class ProjectCodec {
public:
    struct Decoded {
        std::optional<QList<Project>> projects;
        QString error; // set when projects is absent
    };

    static QByteArray encode(const QList<Project> &projects);
    static Decoded decode(const QByteArray &bytes);

    // One project from a JSON object; the error names the member at fault.
    static std::optional<Project> decodeObject(const QJsonObject &object, QString *error);

    // "2025-03-01T14:05:09Z": UTC, whole seconds.
    static QString formatDate(const QDateTime &date);
    static std::optional<QDateTime> parseDate(const QString &text);
    static std::optional<QUuid> parseUuid(const QString &text);

    // A JSON string literal in the file's escaping (quotes included).
    static QByteArray quote(const QString &text);
};

} // namespace quillet
