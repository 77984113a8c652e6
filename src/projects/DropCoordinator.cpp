#include "projects/DropCoordinator.h"

#include <QFileInfo>

namespace quillet {

void DropCoordinator::setPendingDrop(const QString &folderPath) {
    const AddProjectRequest request = AddProjectRequest::forFolder(folderPath);
    m_pendingName = request.name;
    m_pendingDirectory = request.directory;
    Q_EMIT pendingChanged();
}

std::optional<AddProjectRequest> DropCoordinator::takePendingDrop() {
    if (!m_pendingName || !m_pendingDirectory)
        return std::nullopt;
    AddProjectRequest request;
    request.name = *std::exchange(m_pendingName, std::nullopt);
    request.directory = *std::exchange(m_pendingDirectory, std::nullopt);
    return request;
}

std::optional<QString> DropCoordinator::firstFolder(const QList<QUrl> &urls) {
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (QFileInfo(path).isDir())
            return path;
    }
    return std::nullopt;
}

} // namespace quillet
