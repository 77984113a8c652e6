#pragma once

#include <QStringList>

namespace quillet::cli {

// `quillet up`: from nothing to a paired phone, then the monitor. Without a configured server it
// starts the relay on this computer; it signs in (creating the account the first time), shows a
// pairing code while no phone is paired, and runs `quillet agent`'s monitor in the foreground.
// Each step says what it does in one line; a run that finds everything in place only says so.
class UpCommand {
public:
    static int run(const QStringList &args);
};

} // namespace quillet::cli
