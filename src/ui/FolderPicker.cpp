#include "ui/FolderPicker.h"

#include <QFileDialog>

namespace quillet {

std::optional<QString> FolderPicker::chooseFolder(QWidget *parent, const QString &message) {
    if (answer)
        return answer(message);
    const QString folder = QFileDialog::getExistingDirectory(
        parent, message, QString(), QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
}

} // namespace quillet
