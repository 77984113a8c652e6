#include "ui/TrayApp.h"

#include "agent/TmuxService.h"
#include "api/APIService.h"
#include "app/LoginItem.h"
#include "app/Settings.h"

#include <QPointer>
#include <QtConcurrent>

namespace quillet {

TrayApp::TrayApp(QObject *parent)
    : QObject(parent), m_model(APIService::shared()),
      m_frontend(m_store, m_model, APIService::shared(), m_drops, LoginItem::platform()) {}

TrayApp::~TrayApp() {
    m_store.onChanged = nullptr;
    m_model.onAuthenticated = nullptr;
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

    m_store.load();
    m_store.setWatchingFile(true);
    m_frontend.install();
    m_frontend.rebuildMenu();

    // The terminal window opens from a child process; the menu does not wait for it.
    m_frontend.openTerminal = [](const QString &session) {
        (void)QtConcurrent::run(&TmuxService::attachInTerminal, session);
    };

    QPointer<TrayApp> self(this);
    m_store.onChanged = [self] {
        if (self)
            self->m_frontend.rebuildMenu();
    };
    m_model.onAuthenticated = [self] {
        if (!self)
            return;
        self->m_frontend.closeSignIn();
        self->m_frontend.rebuildMenu();
        self->m_frontend.refreshPairedDevicesIfStale();
    };
    connect(&m_model, &AuthViewModel::isAuthenticatedChanged, &m_frontend,
            &TrayFrontend::rebuildMenu);
    m_model.checkExistingSession();
}

} // namespace quillet
