#pragma once

#include <QStringList>
#include <optional>

namespace quillet::cli {

// Entry point of every `quillet` subcommand. Returns the exit status, or nothing when the
// arguments ask for the desktop app (plain `quillet`), which the caller starts.
std::optional<int> runCommandLine(const QStringList &arguments);

// The top-level usage text.
QString topLevelHelp();

} // namespace quillet::cli
