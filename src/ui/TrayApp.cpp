#include "ui/TrayApp.h"

#include "agent/AgentService.h"
#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "app/LoginItem.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"

#include <QPointer>

namespace quillet {

TrayApp::TrayApp(QObject *parent)
    : QObject(parent), m_delegate(&m_frontend),
      m_frontend(APIService::shared(), m_drops, LoginItem::platform()) {}

TrayApp::~TrayApp() {
    if (AuthViewModel *account = m_delegate.authViewModel())
        account->onAuthenticated = nullptr;
    if (AgentService *engine = m_delegate.agentService()) {
        engine->onStateChanged = nullptr;
        engine->stop();
    }
    if (ProjectStore *store = m_delegate.projectStore())
        store->onChanged = nullptr;
}

std::optional<QString> TrayApp::missingDisplay() {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return std::nullopt;
    return QStringLiteral("quillet: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is "
                          "set), so the tray app cannot start.\n"
                          "To watch your agents without a desktop, run `quillet agent`.\n");
}

void TrayApp::start() {
    // The settings window shows the sound as on until the user chooses; make the monitor agree.
    if (!Settings::contains(Settings::notificationSound))
        Settings::write(Settings::notificationSound, true);

    QPointer<TrayApp> self(this);
    m_frontend.setAppDelegate(&m_delegate);
    m_frontend.launchProject = [self](const Project &project) {
        if (self)
            self->m_delegate.launchProject(project);
    };
    m_frontend.stopProject = [self](const Project &project) {
        if (self)
            self->m_delegate.stopProject(project);
    };
    m_delegate.applicationDidFinishLaunching();
    connect(m_delegate.authViewModel(), &AuthViewModel::isAuthenticatedChanged, &m_frontend,
            &TrayFrontend::rebuildMenu);

    // The bubble carries the question itself, and plays the sound with it.
    if (AgentService *engine = m_delegate.agentService())
        connect(engine, &AgentService::questionPosted, this,
                [this](const QString &pane, const QString &text) {
                    m_notifier.notifyNewQuestion(QStringLiteral("Question in ") + pane, text);
                });
}

} // namespace quillet
