#pragma once

#include <QString>
#include <array>
#include <optional>

namespace quillet {

// The coding tool a project runs; the order is the order of every picker.
enum class CodingTool { claudeCode, codex, generic };

inline constexpr std::array<CodingTool, 3> allCodingTools{CodingTool::claudeCode, CodingTool::codex,
                                                          CodingTool::generic};

// The tool's identity in the projects file and on the server: "claude-code", "codex", "generic".
QString rawValue(CodingTool tool);
std::optional<CodingTool> codingToolFromRawValue(const QString &raw);
QString displayName(CodingTool tool);
QString defaultLaunchCommand(CodingTool tool);

// The launch command after the user switches from `from` to `to`: the new tool's default when the
// command was still the old tool's default, the command itself when the user had edited it.
QString launchCommandAfterToolChange(CodingTool from, CodingTool to, const QString &command);

} // namespace quillet
