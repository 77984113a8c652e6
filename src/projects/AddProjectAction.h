#pragma once

#include "projects/Project.h"

#include <QString>
#include <optional>

namespace quillet {

class ProjectStore;

// What the add sheet and `quillet projects add` do with the user's entries: check them, make the
// project and add it to the store. Shared so both refuse the same things with the same words.
class AddProjectAction {
public:
    struct Entries {
        QString name;
        QString directory;
        CodingTool tool = CodingTool::claudeCode;
        QString launchCommand = QStringLiteral("claude");
        bool autoLaunch = false;
    };
    struct Result {
        std::optional<Project> project; // added to the store
        QString errorMessage;           // shown to the user when nothing was added
    };

    // "Add" is offered only while both trimmed entries hold something.
    static bool canAdd(const QString &name, const QString &directory);
    static Result run(ProjectStore &store, const Entries &entries);

    // Spaces and tabs removed from both ends; other white space stays.
    static QString trimBlanks(const QString &text);
};

} // namespace quillet
