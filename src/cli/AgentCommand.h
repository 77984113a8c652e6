#pragma once

#include <QStringList>

namespace quillet::cli {

// `quillet agent`: the monitor without a screen, until SIGINT or SIGTERM. The start-up is the
// tray app's; alerts become log lines and launched sessions open no terminal.
class AgentCommand {
public:
    static int run(const QStringList &args);
    // The monitor itself, once the command line is read; `quillet up` ends with it too.
    static int monitor();
};

} // namespace quillet::cli
