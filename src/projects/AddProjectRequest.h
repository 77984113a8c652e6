#pragma once

#include <QString>
#include <QUuid>

namespace quillet {

// What opens the add sheet. Every request has an identity of its own, so asking twice with the
// same folder still opens a fresh sheet.
struct AddProjectRequest {
    QUuid id = QUuid::createUuid();
    QString name;
    QString directory;

    // A request prefilled from a folder: its last path component as name, its path as directory.
    static AddProjectRequest forFolder(const QString &folderPath);
};

} // namespace quillet
