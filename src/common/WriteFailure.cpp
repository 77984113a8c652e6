#include "common/WriteFailure.h"

#include <QFileInfo>

namespace quillet {

QString WriteFailure::describe(const QString &path, const QString &systemError) {
    const QFileInfo file(path);
    if (file.isSymLink() && !file.exists())
        return QStringLiteral("%1 is a link to %2, which does not exist")
            .arg(path, file.symLinkTarget());
    // Immutable files and folders answer "not writable" here too, also to root.
    if (file.exists() && !file.isWritable())
        return QStringLiteral("%1 is not writable").arg(path);
    const QFileInfo folder(file.absolutePath());
    if (!folder.exists())
        return QStringLiteral("the folder %1 does not exist").arg(folder.filePath());
    if (!folder.isWritable())
        return QStringLiteral("the folder %1 is not writable").arg(folder.filePath());
    return systemError.isEmpty() ? QStringLiteral("%1 could not be written").arg(path)
                                 : QStringLiteral("%1: %2").arg(path, systemError);
}

} // namespace quillet
