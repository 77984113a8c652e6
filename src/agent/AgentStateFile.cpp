#include "agent/AgentStateFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>
#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcAgentState, "lorvo.fennick.quillet-mac.AgentService")

namespace quillet {

namespace {

QString stringOf(const QJsonObject &object, const char *key) {
    return object.value(QLatin1String(key)).toString();
}

} // namespace

AgentStateFile::AgentStateFile(QString path) : m_path(std::move(path)) {}

QString AgentStateFile::defaultPath() {
    // Qt 6.4 has no state location; the XDG rule is short enough to follow here.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/Quillet/agent-state.json");
}

QList<AgentStateFile::Entry> AgentStateFile::load(const QString &serverUrl) {
    QFile file(m_path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        qCCritical(lcAgentState, "Failed to read agent state: %s",
                   qUtf8Printable(file.errorString()));
        return {};
    }
    const QByteArray bytes = file.readAll();
    file.close();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    const QJsonObject root = document.object();
    const QJsonValue panes = root.value(QLatin1String("panes"));
    if (error.error != QJsonParseError::NoError || !document.isObject() || !panes.isArray() ||
        !root.value(QLatin1String("server_url")).isString()) {
        qCCritical(lcAgentState, "Failed to read agent state: %s",
                   error.error != QJsonParseError::NoError ? qUtf8Printable(error.errorString())
                                                           : "unexpected contents");
        moveAside();
        return {};
    }
    m_known = bytes;
    // Sessions and questions of another server mean nothing to this one.
    if (stringOf(root, "server_url") != serverUrl)
        return {};
    QList<Entry> entries;
    for (const QJsonValue &value : panes.toArray()) {
        const QJsonObject pane = value.toObject();
        Entry entry{stringOf(pane, "pane_target"), stringOf(pane, "server_session_id"),
                    std::nullopt, stringOf(pane, "screen_hash")};
        if (pane.value(QLatin1String("question_id")).isString())
            entry.questionId = stringOf(pane, "question_id");
        if (entry.paneTarget.isEmpty() || entry.serverSessionId.isEmpty())
            continue;
        entries.append(entry);
    }
    return entries;
}

void AgentStateFile::save(const QString &serverUrl, const QList<Entry> &entries) {
    QJsonArray panes;
    for (const Entry &entry : entries) {
        QJsonObject pane{{QStringLiteral("pane_target"), entry.paneTarget},
                         {QStringLiteral("server_session_id"), entry.serverSessionId}};
        if (entry.questionId) {
            pane.insert(QStringLiteral("question_id"), *entry.questionId);
            pane.insert(QStringLiteral("screen_hash"), entry.screenHash);
        }
        panes.append(pane);
    }
    const QJsonObject root{{QStringLiteral("server_url"), serverUrl},
                           {QStringLiteral("panes"), panes}};
    const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Compact);
    if (m_known == bytes)
        return;

    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        qCCritical(lcAgentState, "Failed to save agent state: cannot create %s",
                   qUtf8Printable(folder));
        return;
    }
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    QSaveFile file(m_path);
    // The mode is set on the temporary file before anything is in it: the ids are the user's.
    if (!file.open(QIODevice::WriteOnly) || ::fchmod(file.handle(), 0600) != 0 ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        qCCritical(lcAgentState, "Failed to save agent state: %s",
                   qUtf8Printable(file.errorString()));
        file.cancelWriting();
        return;
    }
    m_known = bytes;
}

void AgentStateFile::moveAside() {
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString target = m_path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFile::exists(target); ++n)
        target = m_path + QStringLiteral(".corrupt-%1-%2").arg(stamp).arg(n);
    if (QFile::rename(m_path, target))
        qCWarning(lcAgentState, "Moved the unreadable agent state to %s", qUtf8Printable(target));
    else
        QFile::remove(m_path);
}

} // namespace quillet
