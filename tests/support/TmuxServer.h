#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace quillet::test {

// A tmux server of the test's own, on the private socket folder of the isolated test environment
// (TMUX_TMPDIR). Starts sessions and small programs in panes, waits for text to appear, and kills
// the server when it goes. Refuses to run outside the isolated environment.
class TmuxServer {
public:
    TmuxServer();
    ~TmuxServer();
    TmuxServer(const TmuxServer &) = delete;
    TmuxServer &operator=(const TmuxServer &) = delete;

    // The tmux executable on PATH; empty when tmux is not installed.
    static QString executable();

    // Runs tmux directly (never through TmuxService, whose seams tests change) and returns its
    // standard output; `exitStatus` receives the exit status, -1 when it did not run.
    QString tmux(const QStringList &arguments, int *exitStatus = nullptr) const;

    // A detached session of a fixed size, running `shellCommand` (the default shell when empty)
    // in `directory` (the scratch folder when empty). Returns the target of its first pane.
    QString startSession(const QString &name, const QString &shellCommand = {},
                         const QString &directory = {});
    // A session whose program prints `question` (no line feed), reads one line and then shows
    // "answer:[LINE]": a stand-in for a tool waiting on a prompt. Returns the pane target.
    QString startAsking(const QString &name, const QString &question);
    // Writes an executable /bin/sh script into the scratch folder and returns its path.
    QString writeScript(const QString &name, const QString &body) const;
    QString capture(const QString &target) const;
    // Polls the pane, running the event loop meanwhile, until its screen contains `text`; false
    // after `timeoutMs`.
    bool waitForText(const QString &target, const QString &text, int timeoutMs = 10000) const;
    // A folder that lives as long as this object.
    QString scratchDir() const { return m_scratch.path(); }
    void kill();

private:
    QTemporaryDir m_scratch;
};

} // namespace quillet::test
