#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace quillet {

// Modal alerts. Tests answer them through `answer` instead of a real message box.
class Alerts {
public:
    enum class Kind { warning, critical };
    struct Alert {
        Kind kind;
        QString message;
        QString informativeText;
        QStringList buttons; // the first is the default
    };

    // Index of the chosen button; the last one when the box was closed otherwise.
    static int show(const Alert &alert, QWidget *parent = nullptr);

    // A change of the projects that the file did not take (the store has undone it).
    static void projectsNotSaved(const QString &reason, QWidget *parent = nullptr);

    // When set, called instead of showing the box; answers the index of the chosen button.
    static inline std::function<int(const Alert &)> answer;
};

} // namespace quillet
