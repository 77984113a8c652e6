#include "projects/AddProjectRequest.h"

#include <QDir>
#include <QFileInfo>

namespace quillet {

AddProjectRequest AddProjectRequest::forFolder(const QString &folderPath) {
    AddProjectRequest request;
    QString path = QDir::cleanPath(folderPath);
    request.name = QFileInfo(path).fileName();
    request.directory = path;
    return request;
}

} // namespace quillet
