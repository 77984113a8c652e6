#pragma once

#include "app/AppDelegate.h"
#include "app/LocalServer.h"
#include "projects/DropCoordinator.h"
#include "ui/DesktopNotifier.h"
#include "ui/FirstRunWindow.h"
#include "ui/TrayFrontend.h"

#include <QObject>
#include <QPointer>

namespace quillet {

// The desktop app of plain `quillet`: the shell's start-up with the tray as its screen.
class TrayApp : public QObject {
    Q_OBJECT
public:
    explicit TrayApp(QObject *parent = nullptr);
    ~TrayApp() override;

    void start();

    TrayFrontend &frontend() { return m_frontend; }
    // The first-run window while it is open.
    FirstRunWindow *firstRunWindow() const { return m_firstRun; }
    AppDelegate &delegate() { return m_delegate; }

    // Why the desktop app cannot start here (no display to show it on), or nothing.
    static std::optional<QString> missingDisplay();

private:
    void openFirstRun();
    QCoro::Task<> keepLocalServerRunning();

    DropCoordinator m_drops;
    // The relay this app started, if any: it runs while the app does.
    LocalServer m_localServer;
    // Declared before the frontend: the windows go first, while the services they show still
    // exist.
    AppDelegate m_delegate;
    TrayFrontend m_frontend;
    DesktopNotifier m_notifier;
    QPointer<FirstRunWindow> m_firstRun;
};

} // namespace quillet
