#pragma once

#include "agent/TerminalLauncher.h"

namespace quillet {

// Starts the first terminal emulator that can be started, detached, with the command as its
// argument vector: $TERMINAL, then x-terminal-emulator, gnome-terminal, konsole, xfce4-terminal,
// xterm.
class LinuxTerminalLauncher : public TerminalLauncher {
public:
    LinuxTerminalLauncher() : m_candidates(defaultCandidates()) {}
    // Seam: other emulators (names looked up in PATH, or paths), tried in order.
    explicit LinuxTerminalLauncher(QStringList candidates) : m_candidates(std::move(candidates)) {}

    bool open(const QStringList &command, QString *error) override;

    static QStringList defaultCandidates();
    // The emulator's own arguments for "run this program with these arguments".
    static QStringList argumentsFor(const QString &terminal, const QStringList &command);

private:
    QStringList m_candidates;
};

} // namespace quillet
