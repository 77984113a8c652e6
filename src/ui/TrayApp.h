#pragma once

#include "agent/AgentService.h"
#include "api/AuthViewModel.h"
#include "projects/DropCoordinator.h"
#include "projects/ProjectStore.h"
#include "ui/DesktopNotifier.h"
#include "ui/TrayFrontend.h"

#include <QObject>

namespace quillet {

// The desktop app of plain `quillet`: the services, the status icon and the windows, wired.
class TrayApp : public QObject {
    Q_OBJECT
public:
    explicit TrayApp(QObject *parent = nullptr);
    ~TrayApp() override;

    void start();

    TrayFrontend &frontend() { return m_frontend; }
    ProjectStore &store() { return m_store; }
    AgentService &engine() { return m_engine; }
    AuthViewModel &authViewModel() { return m_model; }

    // Why the desktop app cannot start here (no display to show it on), or nothing.
    static std::optional<QString> missingDisplay();

private:
    ProjectStore m_store;
    AgentService m_engine;
    DropCoordinator m_drops;
    AuthViewModel m_model;
    TrayFrontend m_frontend;
    DesktopNotifier m_notifier;
};

} // namespace quillet
