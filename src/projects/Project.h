#pragma once

#include "projects/CodingTool.h"

#include <QDateTime>
#include <QString>
#include <QUuid>
#include <optional>

namespace quillet {

// A working directory bound to a tmux session, a coding tool and a launch command.
struct Project {
    QUuid id;
    QString name;
    QString directory;
    QString tmuxSessionName;
    QString launchCommand;
    CodingTool tool = CodingTool::claudeCode;
    bool autoLaunch = false;
    QDateTime createdAt;
    std::optional<QDateTime> lastUsedAt;

    // The id as the file and the server carry it: upper-case, hyphenated, 36 characters.
    QString idText() const;

    bool operator==(const Project &) const = default;
};

// The tmux session name for a project name: lower case, spaces to "-", only letters, numbers and
// "-" kept. Not trimmed first, so outer spaces become outer hyphens; the result may be empty.
QString sessionName(const QString &projectName);

// Canonical upper-case text of a UUID.
QString uuidText(const QUuid &id);

} // namespace quillet
