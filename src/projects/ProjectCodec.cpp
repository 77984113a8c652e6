#include "projects/ProjectCodec.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QTimeZone>

namespace quillet {

namespace {

void appendMember(QByteArray &out, const char *key, const QByteArray &value, bool last) {
    out += "    \"";
    out += key;
    out += "\" : ";
    out += value;
    out += last ? "\n" : ",\n";
}

QString missing(const char *key) {
    return QStringLiteral("the member \"%1\" is missing").arg(QLatin1String(key));
}

QString wrongType(const char *key, const char *expected) {
    return QStringLiteral("the member \"%1\" is not a %2")
        .arg(QLatin1String(key), QLatin1String(expected));
}

} // namespace

QByteArray ProjectCodec::quote(const QString &text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += QByteArray::number(c, 16).rightJustified(2, '0');
            } else {
                out += ch;
            }
        }
    }
    out += '"';
    return out;
}

QString ProjectCodec::formatDate(const QDateTime &date) {
    return date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'"));
}

std::optional<QDateTime> ProjectCodec::parseDate(const QString &text) {
    // Internet date-time with whole seconds: "Z" or a numeric offset, never a fraction.
    static const QRegularExpression pattern(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(Z|([+-])(\d{2}):(\d{2}))$)"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    int offset = 0;
    if (m.captured(7) != QLatin1String("Z")) {
        const int hours = m.captured(9).toInt();
        const int minutes = m.captured(10).toInt();
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offset = (hours * 60 + minutes) * 60 * (m.captured(8) == QLatin1String("-") ? -1 : 1);
    }
    const QDateTime result(date, time, QTimeZone(offset));
    if (!result.isValid())
        return std::nullopt;
    return result.toUTC();
}

std::optional<QUuid> ProjectCodec::parseUuid(const QString &text) {
    static const QRegularExpression pattern(QStringLiteral(
        "^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    return QUuid::fromString(text);
}

QByteArray ProjectCodec::encode(const QList<Project> &projects) {
    if (projects.isEmpty())
        return QByteArrayLiteral("[]");
    QByteArray out = "[\n";
    for (qsizetype i = 0; i < projects.size(); ++i) {
        const Project &p = projects.at(i);
        const bool hasLastUsed = p.lastUsedAt.has_value();
        out += "  {\n";
        appendMember(out, "id", quote(p.idText()), false);
        appendMember(out, "name", quote(p.name), false);
        appendMember(out, "directory", quote(p.directory), false);
        appendMember(out, "tmuxSessionName", quote(p.tmuxSessionName), false);
        appendMember(out, "launchCommand", quote(p.launchCommand), false);
        appendMember(out, "tool", quote(rawValue(p.tool)), false);
        appendMember(out, "autoLaunch", p.autoLaunch ? "true" : "false", false);
        appendMember(out, "createdAt", quote(formatDate(p.createdAt)), !hasLastUsed);
        if (hasLastUsed)
            appendMember(out, "lastUsedAt", quote(formatDate(*p.lastUsedAt)), true);
        out += i + 1 < projects.size() ? "  },\n" : "  }\n";
    }
    out += "]";
    return out;
}

std::optional<Project> ProjectCodec::decodeObject(const QJsonObject &object, QString *error) {
    const auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return std::optional<Project>();
    };
    const auto text = [&object](const char *key, QString *into) -> std::optional<QString> {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return missing(key);
        if (!value.isString())
            return wrongType(key, "string");
        *into = value.toString();
        return std::nullopt;
    };

    Project project;
    QString idText, toolText, createdText;
    for (const auto &[key, into] : {std::pair{"id", &idText},
                                    {"name", &project.name},
                                    {"directory", &project.directory},
                                    {"tmuxSessionName", &project.tmuxSessionName},
                                    {"launchCommand", &project.launchCommand},
                                    {"tool", &toolText},
                                    {"createdAt", &createdText}}) {
        if (auto problem = text(key, into))
            return fail(*problem);
    }
    const QJsonValue autoLaunch = object.value(QLatin1String("autoLaunch"));
    if (autoLaunch.isUndefined())
        return fail(missing("autoLaunch"));
    if (!autoLaunch.isBool())
        return fail(wrongType("autoLaunch", "boolean"));
    project.autoLaunch = autoLaunch.toBool();

    const auto id = parseUuid(idText);
    if (!id)
        return fail(QStringLiteral("\"%1\" is not a UUID").arg(idText));
    project.id = *id;
    const auto tool = codingToolFromRawValue(toolText);
    if (!tool)
        return fail(QStringLiteral("\"%1\" is not a coding tool").arg(toolText));
    project.tool = *tool;
    const auto created = parseDate(createdText);
    if (!created)
        return fail(QStringLiteral("\"%1\" is not an ISO 8601 date").arg(createdText));
    project.createdAt = *created;

    const QJsonValue lastUsed = object.value(QLatin1String("lastUsedAt"));
    if (!lastUsed.isUndefined()) {
        if (!lastUsed.isString())
            return fail(wrongType("lastUsedAt", "string"));
        const auto date = parseDate(lastUsed.toString());
        if (!date)
            return fail(QStringLiteral("\"%1\" is not an ISO 8601 date").arg(lastUsed.toString()));
        project.lastUsedAt = *date;
    }
    return project;
}

ProjectCodec::Decoded ProjectCodec::decode(const QByteArray &bytes) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return {std::nullopt, QStringLiteral("The data is not valid JSON (%1 at offset %2).")
                                  .arg(parseError.errorString())
                                  .arg(parseError.offset)};
    if (!document.isArray())
        return {std::nullopt, QStringLiteral("The data is not a JSON array of projects.")};
    QList<Project> projects;
    const QJsonArray array = document.array();
    projects.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonValue element = array.at(i);
        QString error;
        std::optional<Project> project;
        if (element.isObject())
            project = decodeObject(element.toObject(), &error);
        else
            error = QStringLiteral("it is not a JSON object");
        if (!project)
            return {std::nullopt,
                    QStringLiteral("Project %1 cannot be read: %2.").arg(i + 1).arg(error)};
        projects.append(*project);
    }
    return {std::move(projects), {}};
}

} // namespace quillet
