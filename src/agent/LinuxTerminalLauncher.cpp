#include "agent/LinuxTerminalLauncher.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace quillet {

QStringList LinuxTerminalLauncher::defaultCandidates() {
    QStringList candidates;
    const QString preferred = qEnvironmentVariable("TERMINAL").trimmed();
    if (!preferred.isEmpty())
        candidates << preferred;
    candidates << QStringLiteral("x-terminal-emulator") << QStringLiteral("gnome-terminal")
               << QStringLiteral("konsole") << QStringLiteral("xfce4-terminal")
               << QStringLiteral("xterm");
    return candidates;
}

QStringList LinuxTerminalLauncher::argumentsFor(const QString &terminal,
                                                const QStringList &command) {
    const QString name = QFileInfo(terminal).fileName();
    // gnome-terminal runs what follows "--"; xfce4-terminal's "-e" takes one shell string, its
    // "-x" the rest of the vector; the others (Debian's x-terminal-emulator contract included)
    // take the program and its arguments after "-e".
    if (name == QLatin1String("gnome-terminal"))
        return QStringList{QStringLiteral("--")} + command;
    if (name == QLatin1String("xfce4-terminal"))
        return QStringList{QStringLiteral("-x")} + command;
    return QStringList{QStringLiteral("-e")} + command;
}

bool LinuxTerminalLauncher::open(const QStringList &command, QString *error) {
    QStringList failures;
    // Quillet may itself run inside tmux; a nested attach would be refused.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("TMUX"));
    environment.remove(QStringLiteral("TMUX_PANE"));
    for (const QString &candidate : m_candidates) {
        const QString program = candidate.contains(QLatin1Char('/'))
                                    ? candidate
                                    : QStandardPaths::findExecutable(candidate);
        const QFileInfo info(program);
        if (program.isEmpty() || !info.isFile() || !info.isExecutable()) {
            failures << QStringLiteral("%1: not found").arg(candidate);
            continue;
        }
        QProcess process;
        process.setProgram(program);
        process.setArguments(argumentsFor(program, command));
        process.setProcessEnvironment(environment);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        if (process.startDetached())
            return true;
        failures << QStringLiteral("%1: %2").arg(candidate, process.errorString());
    }
    if (error)
        *error = QStringLiteral("no terminal emulator could be started (%1)")
                     .arg(failures.join(QStringLiteral("; ")));
    return false;
}

} // namespace quillet
