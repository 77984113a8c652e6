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
    void save();
    void add(const Project &project);
    void update(const Project &project);
    void move(const QSet<int> &fromOffsets, int toOffset);
    void remove(const QUuid &id);
    // Reorders the list by `lessThan`, keeping the order of equal projects; the result becomes
    // the manual order.
    void sort(const std::function<bool(const Project &, const Project &)> &lessThan);

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
    // Runs one read-modify-write under the file lock.
    void mutate(const std::function<bool(QList<Project> &)> &change);
    bool readFile();
    void writeFile();
    void preserveUnreadableFile();

    QString m_filePath;
    QList<Project> m_projects;
    // The bytes this store last read from or wrote to the file; absent before the file exists.
    std::optional<QByteArray> m_knownBytes;
    // The file on disk could not be read: move it aside before overwriting it.
    bool m_fileUnreadable = false;
    QByteArray m_rejectedBytes; // said once, not again at every change
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer *m_reloadTimer = nullptr;
};

} // namespace quillet
