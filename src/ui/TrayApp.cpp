#include "ui/TrayApp.h"

#include "api/APIService.h"
#include "app/LoginItem.h"
#include "app/Settings.h"

#include <QPointer>

namespace quillet {

TrayApp::TrayApp(QObject *parent)
    : QObject(parent), m_model(APIService::shared()),
      m_frontend(APIService::shared(), m_drops, LoginItem::platform()) {}

TrayApp::~TrayApp() {
    m_store.onChanged = nullptr;
    m_model.onAuthenticated = nullptr;
    m_engine.onStateChanged = nullptr;
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
    const Settings::Tuning tuning = Settings::readTuning();
    m_engine.setPollInterval(tuning.pollInterval);
    m_engine.setIdleThreshold(tuning.idleThreshold);
    m_engine.setContextLines(tuning.contextLines);
    m_engine.setProjectStore(&m_store);
    m_frontend.setServices(&m_store, &m_engine, &m_model);
    m_frontend.installStatusItem();
    m_frontend.refreshStatus();
    m_frontend.rebuildMenu();

    QPointer<TrayApp> self(this);
    m_store.onChanged = [self] {
        if (self)
            self->m_frontend.rebuildMenu();
    };
    m_engine.onStateChanged = [self] {
        if (!self)
            return;
        self->m_frontend.refreshStatus();
        self->m_frontend.rebuildMenu();
    };
    // The bubble carries the question itself; the engine's own alert sound would be a second one.
    connect(&m_engine, &AgentService::questionPosted, this,
            [this](const QString &pane, const QString &text) {
                m_notifier.notifyNewQuestion(QStringLiteral("Question in ") + pane, text);
            });
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
