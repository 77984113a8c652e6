#pragma once

#include <QStringList>

namespace quillet::cli {

// `quillet analyze [--tool TOOL] [--context-lines N] [FILE|-]`: what the monitor would make of a
// captured screen, as one JSON object, so a user can see why a prompt was or was not detected.
class AnalyzeCommand {
public:
    static int run(const QStringList &args);
};

} // namespace quillet::cli
