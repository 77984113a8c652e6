#pragma once

#include "projects/CodingTool.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace quillet {

struct TmuxSession {
    QString name;
    bool attached = false;
};

struct TmuxPane {
    QString paneTarget; // session:window.pane
    QString sessionName;
    QString command; // the pane's current command
    QString title;
};

// The only place that talks to tmux. Every operation starts a tmux child process and waits for it,
// so callers run them off the main thread. Failures never throw: they give the empty text, an
// empty list or false, and the monitor simply tries again on its next scan.
class TmuxService {
public:
    // The first executable of /opt/homebrew/bin/tmux, /usr/local/bin/tmux, /usr/bin/tmux,
    // resolved on first use and kept.
    static std::optional<QString> tmuxPath();
    // Seam: other candidates, or none; resets the cached path.
    static void setSearchPathsForTesting(const QStringList &paths);

    // tmux's standard output; the empty text on any failure or when it is not valid UTF-8.
    // A tmux that has not finished after 10 s is killed and counts as failed.
    static QString run(const QStringList &arguments);
    // Seam: another time limit for one tmux command; 0 restores the 10 s.
    static void setTimeoutForTesting(int milliseconds);

    static QList<TmuxSession> listSessions();
    static bool sessionExists(const QString &name);
    // Every pane on the server, each with its session, in one tmux call; which of them the
    // monitor reads is the projects' decision (see AgentService).
    // Nothing when the listing failed (tmux timed out, was killed, answered garbage), as opposed
    // to the empty list of a server with no panes or no server at all.
    static std::optional<QList<TmuxPane>> paneListing();
    // The same, with a failure given as the empty list.
    static QList<TmuxPane> listPanes();
    // Command, then title, then (only when needed) the screen's signatures. `screen` carries the
    // capture between calls for one pane: taken when empty and needed, reused when present.
    static bool paneMatchesTool(CodingTool tool, const QString &command, const QString &title,
                                const QString &paneTarget,
                                std::optional<QString> *screen = nullptr);
    static QString capturePane(const QString &target);

    // Text never acts as a key: control characters other than line breaks and tabs are dropped
    // (see ControlText::withoutControls), and every tmux exit status is checked.
    // Pastes `text` in one piece through a buffer of its own, bracketed when the program asked
    // for bracketed paste; any length; no Enter.
    static bool pasteText(const QString &target, const QString &text);
    // Types `text`, pauses ~100 ms, then presses Enter. Short single-line text is typed with
    // send-keys -l; text with line breaks or tabs, or too long for one tmux command, is pasted.
    static bool sendText(const QString &target, const QString &text);
    // Presses one key by its tmux name ("Enter", "Tab", "Escape", "C-c", ...), no Enter after it.
    static bool sendKey(const QString &target, const QString &key);
    // "send-keys -t T -l -- KEY", no Enter: answers a numbered menu that reacts to the digit alone.
    // Refuses a control character.
    static bool sendLiteralKey(const QString &target, const QString &key);

    static bool createSession(const QString &name, const QString &directory);
    static void sendLaunchCommand(const QString &session, const QString &command);
    static void killSession(const QString &name);
    static void clearClaudeCodeMarker(const QString &session);
    // Opens a terminal window running "tmux attach -t NAME" (see TerminalLauncher).
    static void attachInTerminal(const QString &session);

    static QList<TmuxSession> parseSessions(const QString &output);
    // list-panes output with tab-separated fields (session, window.pane, command, title): session
    // names and titles keep their blanks.
    static QList<TmuxPane> parsePaneLines(const QString &output);

    // Child processes started so far (the benchmarks read it).
    static quint64 processesStarted();

    // The pause between typed text and its Enter: an Enter within ~20 ms of the text is taken as
    // part of a paste by some agents (a newline in their input box, never submitted).
    static constexpr int enterDelayMs = 100;
};

} // namespace quillet
