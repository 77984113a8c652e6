#pragma once

#include "app/AppDelegate.h"
#include "projects/DropCoordinator.h"
#include "ui/DesktopNotifier.h"
#include "ui/TrayFrontend.h"

#include <QObject>

namespace quillet {

// The desktop app of plain `quillet`: the shell's start-up with the tray as its screen.
class TrayApp : public QObject {
    Q_OBJECT
public:
    explicit TrayApp(QObject *parent = nullptr);
    ~TrayApp() override;

    void start();

    TrayFrontend &frontend() { return m_frontend; }
    AppDelegate &delegate() { return m_delegate; }

    // Why the desktop app cannot start here (no display to show it on), or nothing.
    static std::optional<QString> missingDisplay();

private:
    DropCoordinator m_drops;
    // Declared before the frontend: the windows go first, while the services they show still
    // exist.
    AppDelegate m_delegate;
    TrayFrontend m_frontend;
    DesktopNotifier m_notifier;
};

} // namespace quillet
