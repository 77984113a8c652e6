#pragma once

#include <QString>
#include <functional>
#include <optional>

class QWidget;

namespace quillet {

// The folder dialog of "Browse...". Tests answer it through `answer` instead of a real dialog.
class FolderPicker {
public:
    // The chosen folder, or nothing when the user cancelled.
    static std::optional<QString> chooseFolder(QWidget *parent, const QString &message);

    // When set, called instead of showing the dialog.
    static inline std::function<std::optional<QString>(const QString &message)> answer;
};

} // namespace quillet
