#pragma once

#include <QString>

namespace quillet {

// Everything the application shell does that needs a screen. The tray app implements it with a
// status item, menus, message boxes and windows; the headless agent with log lines. Calls come
// on the main thread and must not block on child processes.
class ShellFrontend {
public:
    virtual ~ShellFrontend() = default;

    // The alert when a launch finds no tmux. The install hint names this platform's package tool.
    static inline const QString tmuxNotFoundTitle = QStringLiteral("tmux Not Found");
    static inline const QString tmuxNotFoundText = QStringLiteral(
        "tmux is required to launch sessions. Install it with: sudo apt install tmux");

    // Start-up: the status item with its inactive icon, its menu and its drop target.
    virtual void installStatusItem() = 0;
    // The warning "tmux Not Found" (modal in the tray app).
    virtual void showTmuxNotFound() = 0;
    // The status icon from the engine's state.
    virtual void refreshStatus() = 0;
    virtual void rebuildMenu() = 0;
    // A terminal window attached to the tmux session.
    virtual void attachTerminal(const QString &session) = 0;
    // After a sign-in: the sign-in window closes and its controller is forgotten.
    virtual void closeSignIn() = 0;
    // After a sign-in: the paired devices are fetched again when the last fetch is 30 s old.
    virtual void refreshPairedDevicesIfStale() = 0;

    virtual void openMainWindow() = 0;
    virtual void openSettings() = 0;
    virtual void openSignIn() = 0;
    virtual void openPairDevice() = 0;
};

} // namespace quillet
