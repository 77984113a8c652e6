#include "agent/TerminalLauncher.h"

#include "agent/AppleScriptTerminalLauncher.h"
#include "agent/LinuxTerminalLauncher.h"

#include <atomic>

namespace quillet {

namespace {

std::atomic<TerminalLauncher *> replacement{nullptr};

TerminalLauncher &platformLauncher() {
#ifdef Q_OS_MACOS
    static AppleScriptTerminalLauncher launcher;
#else
    static LinuxTerminalLauncher launcher;
#endif
    return launcher;
}

} // namespace

TerminalLauncher &TerminalLauncher::current() {
    if (TerminalLauncher *launcher = replacement.load())
        return *launcher;
    return platformLauncher();
}

void TerminalLauncher::setForTesting(TerminalLauncher *launcher) {
    replacement.store(launcher);
}

} // namespace quillet
