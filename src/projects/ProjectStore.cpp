#include "projects/ProjectStore.h"

#include "common/WriteFailure.h"
#include "projects/ProjectCodec.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLockFile>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <utility>

Q_LOGGING_CATEGORY(lcProjectStore, "lorvo.fennick.quillet-mac.ProjectStore")

namespace quillet {

namespace {

class StoreLock {
public:
    explicit StoreLock(const QString &filePath) : m_lock(filePath + QStringLiteral(".lock")) {
        m_lock.setStaleLockTime(10000);
        // A stuck lock must not cost the user an edit: after a short wait go on without it.
        if (!m_lock.tryLock(2000))
            qCWarning(lcProjectStore, "Could not lock %s; writing without the lock",
                      qUtf8Printable(filePath));
    }

private:
    QLockFile m_lock;
};

} // namespace

QString ProjectStore::defaultFilePath() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return base + QStringLiteral("/Parvex/projects.json");
}

ProjectStore::ProjectStore(QObject *parent) : ProjectStore(defaultFilePath(), parent) {}

ProjectStore::ProjectStore(const QString &filePath, QObject *parent)
    : QObject(parent), m_filePath(filePath) {
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
}

ProjectStore::~ProjectStore() = default;

std::optional<Project> ProjectStore::project(const QUuid &id) const {
    for (const Project &p : m_projects) {
        if (p.id == id)
            return p;
    }
    return std::nullopt;
}

void ProjectStore::notifyChanged() {
    if (onChanged)
        onChanged();
    Q_EMIT changed();
}

void ProjectStore::assign(QList<Project> projects) {
    m_projects = std::move(projects);
    notifyChanged();
}

bool ProjectStore::readFile() {
    QFile file(m_filePath);
    // A link to nowhere counts as no file (QFile::exists() would say it exists); writing then
    // says where the link points.
    if (!QFileInfo::exists(m_filePath))
        return false;
    if (!file.open(QIODevice::ReadOnly)) {
        qCCritical(lcProjectStore, "Failed to load projects: %s",
                   qUtf8Printable(file.errorString()));
        m_fileUnreadable = true;
        m_readError = file.errorString();
        return false;
    }
    const QByteArray bytes = file.readAll();
    if ((m_knownBytes && *m_knownBytes == bytes) || (m_fileUnreadable && m_rejectedBytes == bytes))
        return false;
    ProjectCodec::Decoded decoded = ProjectCodec::decode(bytes);
    if (!decoded.projects) {
        m_rejectedBytes = bytes;
        qCCritical(lcProjectStore, "Failed to load projects: %s", qUtf8Printable(decoded.error));
        m_fileUnreadable = true;
        m_readError = decoded.error;
        return false;
    }
    m_knownBytes = bytes;
    m_fileUnreadable = false;
    giveDuplicatesTheirOwnIds(*decoded.projects);
    assign(std::move(*decoded.projects));
    return true;
}

void ProjectStore::giveDuplicatesTheirOwnIds(QList<Project> &projects) {
    QSet<QUuid> seen;
    for (const Project &p : projects)
        seen.insert(p.id);
    QSet<QUuid> kept;
    for (Project &p : projects) {
        if (!kept.contains(p.id)) {
            kept.insert(p.id);
            continue;
        }
        // Removing or editing one of the two by id would otherwise hit both. A name-based id
        // stays the same at every reading of the file, until a change writes it down.
        const QUuid shared = p.id;
        QUuid fresh;
        for (int n = 2; fresh.isNull() || seen.contains(fresh); ++n)
            fresh = QUuid::createUuidV5(shared, QStringLiteral("copy %1").arg(n));
        seen.insert(fresh);
        kept.insert(fresh);
        p.id = fresh;
        qCWarning(lcProjectStore,
                  "Project \"%s\" had the id %s of an earlier project; it now has %s",
                  qUtf8Printable(p.name), qUtf8Printable(uuidText(shared)),
                  qUtf8Printable(uuidText(fresh)));
    }
}

std::optional<QString> ProjectStore::readError() const {
    if (!m_fileUnreadable)
        return std::nullopt;
    return m_readError;
}

void ProjectStore::load() {
    readFile();
}

bool ProjectStore::reloadIfChangedOnDisk() {
    StoreLock lock(m_filePath);
    return readFile();
}

void ProjectStore::preserveUnreadableFile() {
    if (!m_fileUnreadable || !QFile::exists(m_filePath))
        return;
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString target = m_filePath + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFile::exists(target); ++n)
        target = m_filePath + QStringLiteral(".corrupt-%1-%2").arg(stamp).arg(n);
    if (QFile::rename(m_filePath, target)) {
        qCWarning(lcProjectStore, "Moved the unreadable projects file to %s",
                  qUtf8Printable(target));
        m_fileUnreadable = false;
    } else {
        qCCritical(lcProjectStore, "Could not move the unreadable projects file aside (%s)",
                   qUtf8Printable(target));
    }
}

bool ProjectStore::writeFile() {
    preserveUnreadableFile();
    if (m_fileUnreadable) {
        // Keep the damaged file rather than overwrite what the user may still want from it.
        m_lastError =
            QStringLiteral("%1 could not be read and could not be moved aside").arg(m_filePath);
        qCCritical(lcProjectStore, "Failed to save projects: %s", qUtf8Printable(m_lastError));
        return false;
    }
    const QByteArray bytes = ProjectCodec::encode(m_projects);
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        m_lastError = WriteFailure::describe(m_filePath, file.errorString());
        qCCritical(lcProjectStore, "Failed to save projects: %s", qUtf8Printable(m_lastError));
        return false;
    }
    m_knownBytes = bytes;
    return true;
}

bool ProjectStore::save() {
    StoreLock lock(m_filePath);
    return writeFile();
}

bool ProjectStore::mutate(const std::function<bool(QList<Project> &)> &change) {
    StoreLock lock(m_filePath);
    readFile();
    m_lastError.clear();
    QList<Project> projects = m_projects;
    if (!change(projects))
        return m_lastError.isEmpty();
    QList<Project> before = std::exchange(m_projects, std::move(projects));
    notifyChanged();
    if (writeFile())
        return true;
    // The file still holds the old list; so must memory, or this process and the others part.
    assign(std::move(before));
    return false;
}

bool ProjectStore::add(const Project &project) {
    return mutate([this, &project](QList<Project> &projects) {
        if (std::any_of(projects.cbegin(), projects.cend(),
                        [&project](const Project &p) { return p.id == project.id; })) {
            m_lastError = QStringLiteral("A project with this id already exists.");
            return false;
        }
        projects.append(project);
        return true;
    });
}

bool ProjectStore::update(const Project &project) {
    return mutate([&project](QList<Project> &projects) {
        const auto it = std::find_if(projects.begin(), projects.end(),
                                     [&project](const Project &p) { return p.id == project.id; });
        if (it == projects.end())
            return false;
        *it = project;
        return true;
    });
}

bool ProjectStore::move(const QSet<int> &fromOffsets, int toOffset) {
    return mutate([&fromOffsets, toOffset](QList<Project> &projects) {
        QList<Project> moved;
        QList<Project> kept;
        int destination = 0;
        for (int i = 0; i < projects.size(); ++i) {
            if (fromOffsets.contains(i)) {
                moved.append(projects.at(i));
            } else {
                if (i < toOffset)
                    ++destination;
                kept.append(projects.at(i));
            }
        }
        for (qsizetype i = 0; i < moved.size(); ++i)
            kept.insert(destination + i, moved.at(i));
        projects = std::move(kept);
        return true;
    });
}

bool ProjectStore::remove(const QUuid &id) {
    return mutate([&id](QList<Project> &projects) {
        projects.removeIf([&id](const Project &p) { return p.id == id; });
        return true;
    });
}

bool ProjectStore::sort(const std::function<bool(const Project &, const Project &)> &lessThan) {
    return mutate([&lessThan](QList<Project> &projects) {
        std::stable_sort(projects.begin(), projects.end(), lessThan);
        return true;
    });
}

void ProjectStore::setWatchingFile(bool watching) {
    if (!watching) {
        delete m_watcher;
        m_watcher = nullptr;
        return;
    }
    if (m_watcher)
        return;
    m_watcher = new QFileSystemWatcher(this);
    m_reloadTimer = new QTimer(this);
    m_reloadTimer->setSingleShot(true);
    // Editors and other processes write in bursts; read once the burst is over.
    m_reloadTimer->setInterval(150);
    connect(m_reloadTimer, &QTimer::timeout, this, [this] {
        reloadIfChangedOnDisk();
        if (m_watcher && QFile::exists(m_filePath) && !m_watcher->files().contains(m_filePath))
            m_watcher->addPath(m_filePath);
    });
    // Atomic saves replace the file, so watch the folder as well as the file itself.
    m_watcher->addPath(QFileInfo(m_filePath).absolutePath());
    if (QFile::exists(m_filePath))
        m_watcher->addPath(m_filePath);
    const auto schedule = [this] { m_reloadTimer->start(); };
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, schedule);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, schedule);
}

} // namespace quillet
