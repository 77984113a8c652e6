#pragma once

#include <QString>
#include <QStringList>

namespace quillet {

// Opens a terminal window that runs a command: the user's terminal emulator on Linux, Terminal
// through AppleScript on macOS. A seam for tests, which must never open real windows.
class TerminalLauncher {
public:
    virtual ~TerminalLauncher() = default;

    // `command` is a program and its arguments, never a shell string. False, with a description
    // in `error`, when no window could be opened.
    virtual bool open(const QStringList &command, QString *error) = 0;

    // The launcher in use: the platform's, unless a test installed another one.
    static TerminalLauncher &current();
    // Installs `launcher` (not owned) in place of the platform's; nullptr restores it.
    static void setForTesting(TerminalLauncher *launcher);
};

} // namespace quillet
