#include "ui/TrayFrontend.h"

#include "agent/AgentService.h"
#include "agent/TmuxService.h"
#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "app/AppDelegate.h"
#include "common/ControlText.h"
#include "projects/ProjectStore.h"
#include "ui/Alerts.h"
#include "ui/PairDeviceWindow.h"
#include "ui/ProjectsWindow.h"
#include "ui/QuestionTexts.h"
#include "ui/SettingsWindow.h"
#include "ui/SignInForm.h"
#include "ui/TrayMenu.h"

#include <QApplication>
#include <QCoroFuture>
#include <QLoggingCategory>
#include <QSystemTrayIcon>
#include <QtConcurrent>
#include <cstdio>

Q_LOGGING_CATEGORY(lcTray, "lorvo.fennick.quillet-mac.AppDelegate")

namespace quillet {

TrayFrontend::TrayFrontend(APIService &api, DropCoordinator &drops, LoginItem &loginItem,
                           QObject *parent)
    : QObject(parent), m_api(api), m_drops(drops), m_loginItem(loginItem) {
    m_menu.setObjectName(QStringLiteral("statusMenu"));
    connect(&m_menu, &QMenu::aboutToShow, this, &TrayFrontend::menuAboutToShow);
    quit = [] { QCoreApplication::quit(); };
    rebuildMenu();
}

TrayFrontend::~TrayFrontend() {
    // The windows have no parent: they go with the frontend.
    delete m_projects.data();
    delete m_settings.data();
    delete m_signIn.data();
    delete m_pairDevice.data();
}

void TrayFrontend::setServices(ProjectStore *store, AgentService *engine, AuthViewModel *model) {
    m_store = store;
    m_engine = engine;
    m_model = model;
    delete m_questions.data();
    if (engine)
        m_questions = new QuestionTexts(*engine, this);
}

void TrayFrontend::setAppDelegate(AppDelegate *delegate) {
    m_delegate = delegate;
}

void TrayFrontend::installStatusItem() {
    if (m_delegate)
        setServices(m_delegate->projectStore(), m_delegate->agentService(),
                    m_delegate->authViewModel());
    refreshStatus();
    rebuildMenu();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        std::fprintf(stderr, "No system tray was found on this desktop; showing the projects "
                             "window instead. Closing it hides Quillet; run `quillet` again to "
                             "bring it back.\n");
        openMainWindow();
        return;
    }
    m_tray = new QSystemTrayIcon(StatusIcons::icon(m_iconState), this);
    m_tray->setToolTip(QStringLiteral("Quillet"));
    m_tray->setContextMenu(&m_menu);
    // Many Linux panels send a plain click instead of opening the menu.
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    m_menu.popup(QCursor::pos());
            });
    m_tray->show();
}

void TrayFrontend::refreshStatus() {
    if (!m_engine) {
        setIconState(StatusIcons::State::inactive);
        return;
    }
    setIconState(StatusIcons::stateFor(m_engine->isRunning(), m_engine->monitoredSessions().size(),
                                       m_engine->pendingQuestions().size()));
}

void TrayFrontend::setIconState(StatusIcons::State state) {
    m_iconState = state;
    if (m_tray)
        m_tray->setIcon(StatusIcons::icon(state));
}

bool TrayFrontend::isRunning(const Project &project) const {
    if (m_tmuxSessions.contains(project.tmuxSessionName))
        return true;
    if (!m_engine)
        return false;
    return !m_engine->panesOf(project.id).isEmpty();
}

std::optional<Project> TrayFrontend::projectWithId(const QUuid &id) const {
    return m_store ? m_store->project(id) : std::nullopt;
}

void TrayFrontend::rebuildMenu() {
    TrayMenu::State state;
    if (m_store) {
        QList<TrayMenu::ProjectEntry> projects;
        for (const Project &project : m_store->projects())
            projects.append({project.id, project.name, isRunning(project)});
        state.projects = projects;
    }
    state.signedIn = m_model && m_model->isAuthenticated();
    state.devices = m_devices;

    TrayMenu::Actions actions;
    // Every handler finds the project again by id: the menu may be older than the store.
    actions.launch = [this](const QUuid &id) {
        if (const auto project = projectWithId(id); project && launchProject)
            launchProject(*project);
    };
    actions.openTerminal = [this](const QUuid &id) {
        if (const auto project = projectWithId(id))
            attachTerminal(project->tmuxSessionName);
    };
    actions.stop = [this](const QUuid &id) {
        if (const auto project = projectWithId(id); project && stopProject)
            stopProject(*project);
    };
    actions.disconnect = [this](const QString &id) { disconnectDevice(id); };
    actions.openProjects = [this] { openMainWindow(); };
    actions.openPairDevice = [this] { openPairDevice(); };
    actions.openSignIn = [this] { openSignIn(); };
    actions.openSettings = [this] { openSettings(); };
    actions.quit = [this] {
        if (quit)
            quit();
    };
    TrayMenu::build(m_menu, state, actions);
}

void TrayFrontend::menuAboutToShow() {
    rebuildMenu();
    refreshTmuxSessions();
    refreshPairedDevicesIfStale();
}

QCoro::Task<> TrayFrontend::refreshTmuxSessions() {
    QPointer<TrayFrontend> self(this);
    const QList<TmuxSession> sessions = co_await QtConcurrent::run(&TmuxService::listSessions);
    if (!self)
        co_return;
    QSet<QString> names;
    for (const TmuxSession &session : sessions)
        names.insert(session.name);
    if (names == m_tmuxSessions)
        co_return;
    m_tmuxSessions = names;
    rebuildMenu();
}

void TrayFrontend::refreshPairedDevicesIfStale() {
    refreshDevicesIfStale();
}

QCoro::Task<> TrayFrontend::refreshDevicesIfStale() {
    if (m_lastDeviceFetch.isValid() && m_lastDeviceFetch.elapsed() <= m_deviceRefreshMs)
        co_return;
    // Set before the fetch, so a failure also waits for the next interval.
    m_lastDeviceFetch.start();
    QPointer<TrayFrontend> self(this);
    try {
        QList<PairedDeviceResponse> devices = co_await m_api.pairedDevices();
        if (!self)
            co_return;
        m_devices = std::move(devices);
        rebuildMenu();
    } catch (const std::exception &error) {
        qCCritical(lcTray, "Failed to fetch paired devices: %s", error.what());
    }
}

QCoro::Task<> TrayFrontend::disconnectDevice(QString deviceId) {
    const auto it = std::find_if(m_devices.cbegin(), m_devices.cend(),
                                 [&deviceId](const auto &d) { return d.id == deviceId; });
    if (it == m_devices.cend())
        co_return;
    const PairedDeviceResponse device = *it;
    const int choice = Alerts::show(
        {Alerts::Kind::warning,
         QStringLiteral("Disconnect ") + ControlText::escaped(device.deviceName) + QLatin1Char('?'),
         QStringLiteral("This device will need to be paired again to access your sessions."),
         {QStringLiteral("Disconnect"), QStringLiteral("Cancel")}});
    if (choice != 0)
        co_return;
    QPointer<TrayFrontend> self(this);
    std::optional<QString> failure;
    try {
        co_await m_api.deletePairedDevice(device.id);
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self)
        co_return;
    if (failure) {
        Alerts::show(
            {Alerts::Kind::critical, QStringLiteral("Failed to Disconnect"), *failure, {}});
        co_return;
    }
    m_devices.removeIf([&device](const auto &d) { return d.id == device.id; });
    rebuildMenu();
    qCInfo(lcTray, "Disconnected device: %s", qUtf8Printable(device.deviceName));
}

void TrayFrontend::present(QWidget *window) {
    window->show();
    window->raise();
    window->activateWindow();
}

void TrayFrontend::attachTerminal(const QString &session) {
    // The terminal opens from a child process; nothing waits for it.
    (void)QtConcurrent::run(&TmuxService::attachInTerminal, session);
}

void TrayFrontend::showTmuxNotFound() {
    Alerts::show({Alerts::Kind::warning, tmuxNotFoundTitle, tmuxNotFoundText, {}});
}

void TrayFrontend::openMainWindow() {
    if (!m_projects) {
        if (!m_store || !m_engine || !m_model) {
            qCCritical(lcTray, "Cannot open main window: services not yet initialized");
            return;
        }
        m_projects = new ProjectsWindow(*m_store, m_drops, m_engine, m_questions);
        m_projects->setAttribute(Qt::WA_QuitOnClose, false);
    }
    present(m_projects);
}

void TrayFrontend::openSettings() {
    if (!m_settings) {
        if (!m_engine || !m_model) {
            qCCritical(lcTray, "Cannot open settings: services not yet initialized");
            return;
        }
        m_settings = new SettingsWindow(*m_model, *m_engine, m_api, m_loginItem);
        m_settings->setAttribute(Qt::WA_QuitOnClose, false);
    }
    present(m_settings);
}

QWidget *TrayFrontend::signInWindow() const {
    return m_signIn;
}

ProjectsWindow *TrayFrontend::projectsWindow() const {
    return m_projects;
}

SettingsWindow *TrayFrontend::settingsWindow() const {
    return m_settings;
}

PairDeviceWindow *TrayFrontend::pairDeviceWindow() const {
    return m_pairDevice;
}

void TrayFrontend::openSignIn() {
    if (!m_signIn) {
        if (!m_model) {
            qCCritical(lcTray, "Cannot open sign in: services not yet initialized");
            return;
        }
        m_signIn = new SignInForm(*m_model);
        m_signIn->setWindowTitle(QStringLiteral("Sign In"));
        m_signIn->resize(380, 400);
        m_signIn->setAttribute(Qt::WA_QuitOnClose, false);
    }
    present(m_signIn);
}

void TrayFrontend::closeSignIn() {
    if (m_signIn) {
        m_signIn->close();
        m_signIn->deleteLater();
    }
    m_signIn = nullptr;
}

void TrayFrontend::openPairDevice() {
    if (!m_model) {
        qCCritical(lcTray, "Cannot open pair device: services not yet initialized");
        return;
    }
    // Every opening shows a fresh code.
    if (m_pairDevice) {
        m_pairDevice->close();
        m_pairDevice->deleteLater();
    }
    m_pairDevice = new PairDeviceWindow(*m_model, m_api);
    m_pairDevice->setAttribute(Qt::WA_QuitOnClose, false);
    m_pairDevice->setAttribute(Qt::WA_DeleteOnClose);
    present(m_pairDevice);
}

} // namespace quillet
