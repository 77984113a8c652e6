#pragma once

#include "api/AuthViewModel.h"
#include "app/AppDelegate.h"
#include "projects/DropCoordinator.h"
#include "ui/DesktopNotifier.h"
#include "ui/TrayFrontend.h"

#include <QObject>

namespace quillet {

// The desktop app of plain `quillet`: the shell's start-up with the tray as its screen, plus the
// account, which the shell leaves to its host.
class TrayApp : public QObject {
    Q_OBJECT
public:
    explicit TrayApp(QObject *parent = nullptr);
    ~TrayApp() override;

    void start();

    TrayFrontend &frontend() { return m_frontend; }
    AppDelegate &delegate() { return m_delegate; }
    AuthViewModel &authViewModel() { return m_model; }

    // Why the desktop app cannot start here (no display to show it on), or nothing.
    static std::optional<QString> missingDisplay();

private:
    DropCoordinator m_drops;
    AuthViewModel m_model;
    // Declared before the frontend: the windows go first, while the services they show still
    // exist.
    AppDelegate m_delegate;
    TrayFrontend m_frontend;
    DesktopNotifier m_notifier;
};

} // namespace quillet
