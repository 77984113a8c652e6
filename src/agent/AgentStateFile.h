#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace quillet {

// The engine's memory across restarts: for each pane, its server session and the question still
// waiting for a reply. One small JSON file, $XDG_STATE_HOME/Quillet/agent-state.json, readable by
// the user alone and replaced atomically, so a crash leaves the old or the new contents, never a
// mix. A file that cannot be read is moved aside and the engine starts afresh.
class AgentStateFile {
public:
    struct Entry {
        QString paneTarget;
        QString serverSessionId;
        std::optional<QString> questionId;
        // contentHash of the screen (trimmed) on which the question waits.
        QString screenHash;

        bool operator==(const Entry &) const = default;
    };

    explicit AgentStateFile(QString path = defaultPath());

    static QString defaultPath();
    QString path() const { return m_path; }

    // What was saved for `serverUrl`; nothing when there is no file or it names another server.
    QList<Entry> load(const QString &serverUrl);
    // Writes only when the contents differ from what this object last read or wrote.
    void save(const QString &serverUrl, const QList<Entry> &entries);

private:
    void moveAside();

    QString m_path;
    std::optional<QByteArray> m_known;
};

} // namespace quillet
