#pragma once

#include "projects/Project.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <functional>
#include <optional>

class QFileSystemWatcher;
class QTimer;

namespace quillet {

// The ordered list of projects and its file, "Parvex/projects.json" in the XDG data folder.
// Every change is written at once. The command line and the tray app may both edit the file, so
// each change first takes what another process wrote, and a running app follows the file.
// The list always matches the file: a change the file cannot take is undone (observers hear of
// the change and of its undoing) and the operation answers false, with the reason in
// lastError(). No two projects share an id: a file that has two gives the later one a new id,
// derived from the old one so that every process reading the same file sees the same id.
class ProjectStore : public QObject {
    Q_OBJECT
public:
    explicit ProjectStore(QObject *parent = nullptr);
    explicit ProjectStore(const QString &filePath, QObject *parent = nullptr);
    ~ProjectStore() override;

    const QList<Project> &projects() const { return m_projects; }
    std::optional<Project> project(const QUuid &id) const;
    QString filePath() const { return m_filePath; }
    static QString defaultFilePath();

    // Called after every change of the list, before the file is written.
    std::function<void()> onChanged;

    void load();
    // Each answers whether the file holds the result (true also when there was nothing to do).
    bool save();
    // Refuses a project whose id is already in the list.
    bool add(const Project &project);
    bool update(const Project &project);
    bool move(const QSet<int> &fromOffsets, int toOffset);
    bool remove(const QUuid &id);
    // Reorders the list by `lessThan`, keeping the order of equal projects; the result becomes
    // the manual order.
    bool sort(const std::function<bool(const Project &, const Project &)> &lessThan);
    // Why the last change was refused or not written.
    QString lastError() const { return m_lastError; }

    // Why the file on disk cannot be read, while that is so. The next change moves it aside to
    // filePath() + ".corrupt-" + a UTC time stamp before it writes.
    std::optional<QString> readError() const;

    // Follow changes that another process makes to the file while this one runs.
    void setWatchingFile(bool watching);
    // Takes the file's content when it differs from what this store last read or wrote.
    // Returns true when the list was replaced.
    bool reloadIfChangedOnDisk();

Q_SIGNALS:
    void changed();

private:
    void assign(QList<Project> projects);
    void notifyChanged();
    // Runs one read-modify-write under the file lock. `change` answers false when there is
    // nothing to do, or refuses the change by setting m_lastError.
    bool mutate(const std::function<bool(QList<Project> &)> &change);
    bool readFile();
    bool writeFile();
    void preserveUnreadableFile();
    static void giveDuplicatesTheirOwnIds(QList<Project> &projects);

    QString m_filePath;
    QList<Project> m_projects;
    // The bytes this store last read from or wrote to the file; absent before the file exists.
    std::optional<QByteArray> m_knownBytes;
    // The file on disk could not be read: move it aside before overwriting it.
    bool m_fileUnreadable = false;
    QByteArray m_rejectedBytes; // said once, not again at every change
    QString m_readError;
    QString m_lastError;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer *m_reloadTimer = nullptr;
};

} // namespace quillet
