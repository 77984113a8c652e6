#pragma once

#include "projects/AddProjectRequest.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

namespace quillet {

// Carries a folder dropped on the status icon over to the projects window, which may not exist
// yet. Holds at most one drop; a second drop before the first is taken replaces it.
class DropCoordinator : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    std::optional<QString> pendingName() const { return m_pendingName; }
    std::optional<QString> pendingDirectory() const { return m_pendingDirectory; }

    void setPendingDrop(const QString &folderPath);
    // Both values, cleared at once; nothing while either is missing.
    std::optional<AddProjectRequest> takePendingDrop();

    // The first dropped location that is a local folder that exists; files, missing paths and
    // remote locations are passed over.
    static std::optional<QString> firstFolder(const QList<QUrl> &urls);

Q_SIGNALS:
    void pendingChanged();

private:
    std::optional<QString> m_pendingName;
    std::optional<QString> m_pendingDirectory;
};

} // namespace quillet
