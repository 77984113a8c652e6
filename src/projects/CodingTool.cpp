#include "projects/CodingTool.h"

namespace quillet {

QString rawValue(CodingTool tool) {
    switch (tool) {
    case CodingTool::claudeCode:
        return QStringLiteral("claude-code");
    case CodingTool::codex:
        return QStringLiteral("codex");
    case CodingTool::generic:
        break;
    }
    return QStringLiteral("generic");
}

std::optional<CodingTool> codingToolFromRawValue(const QString &raw) {
    for (CodingTool tool : allCodingTools) {
        if (rawValue(tool) == raw)
            return tool;
    }
    return std::nullopt;
}

QString displayName(CodingTool tool) {
    switch (tool) {
    case CodingTool::claudeCode:
        return QStringLiteral("Claude Code");
    case CodingTool::codex:
        return QStringLiteral("OpenAI Codex");
    case CodingTool::generic:
        break;
    }
    return QStringLiteral("Generic");
}

QString defaultLaunchCommand(CodingTool tool) {
    switch (tool) {
    case CodingTool::claudeCode:
        return QStringLiteral("claude");
    case CodingTool::codex:
        return QStringLiteral("codex");
    case CodingTool::generic:
        break;
    }
    return QString();
}

QString launchCommandAfterToolChange(CodingTool from, CodingTool to, const QString &command) {
    // Compared as text, so a null and an empty command both equal the generic default.
    if (command == defaultLaunchCommand(from))
        return defaultLaunchCommand(to);
    return command;
}

} // namespace quillet
