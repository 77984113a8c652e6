#pragma once

#include "agent/AgentService.h"
#include "api/AuthViewModel.h"
#include "api/PairedDeviceResponse.h"
#include "app/AppDelegate.h"
#include "app/ShellFrontend.h"
#include "projects/Project.h"
#include "projects/ProjectStore.h"
#include "ui/QuestionTexts.h"
#include "ui/StatusIcons.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <functional>
#include <memory>

class QSystemTrayIcon;

namespace quillet {

class AgentService;

class APIService;
class AuthViewModel;
class DropCoordinator;
class LoginItem;
class PairDeviceWindow;
class ProjectStore;
class ProjectsWindow;
class QuestionTexts;
class SettingsWindow;
class SignInForm;

// The desktop face of Quillet: the status icon with its menu, and the four windows, each built
// when first opened. Where the desktop has no system tray the projects window stands in, so the
// app is never invisible.
class TrayFrontend : public QObject, public ShellFrontend {
    Q_OBJECT
public:
    TrayFrontend(APIService &api, DropCoordinator &drops, LoginItem &loginItem,
                 QObject *parent = nullptr);
    ~TrayFrontend() override;

    // The services, once start-up has made them; until then the windows cannot open.
    void setServices(ProjectStore *store, AgentService *engine, AuthViewModel *model);
    // Start-up creates the store and the engine; the status item takes them from here.
    void setAppDelegate(AppDelegate *delegate);

    // Shows the status icon, or, without a system tray, says so and opens the projects window.
    void installStatusItem() override;
    bool hasTrayIcon() const { return m_tray != nullptr; }

    QMenu *menu() { return &m_menu; }
    void rebuildMenu() override;
    // What the platform calls when the menu is about to open.
    void menuAboutToShow();

    // The icon from the engine's state.
    void refreshStatus() override;
    void setIconState(StatusIcons::State state);
    StatusIcons::State iconState() const { return m_iconState; }

    // A project counts as running while the engine watches one of its panes or its tmux session
    // exists (as last listed).
    bool isRunning(const Project &project) const;
    // Lists the tmux sessions off the main thread and rebuilds the menu when they changed.
    QCoro::Task<> refreshTmuxSessions();

    // Refetches the phones when the last fetch started more than 30 seconds ago.
    void refreshPairedDevicesIfStale() override;
    QCoro::Task<> refreshDevicesIfStale();
    const QList<PairedDeviceResponse> &pairedDevices() const { return m_devices; }
    // Asks first; removes the phone on the server and from the menu.
    QCoro::Task<> disconnectDevice(QString deviceId);

    void openMainWindow() override;
    void openSettings() override;
    void openSignIn() override;
    void openPairDevice() override;
    // After a successful sign-in: the sign-in window has done its work.
    void closeSignIn() override;
    // The warning shown when a project cannot launch for want of tmux.
    void showTmuxNotFound() override;
    // Opens a terminal window on the session, off the main thread.
    void attachTerminal(const QString &session) override;

    ProjectsWindow *projectsWindow() const;
    SettingsWindow *settingsWindow() const;
    QWidget *signInWindow() const;
    PairDeviceWindow *pairDeviceWindow() const;

    // Filled in by the shell.
    std::function<void(const Project &)> launchProject;
    std::function<void(const Project &)> stopProject;
    std::function<void()> quit;

    // The device list is refetched after this long (30 s); shortened by tests.
    void setDeviceRefreshInterval(qint64 ms) { m_deviceRefreshMs = ms; }

private:
    std::optional<Project> projectWithId(const QUuid &id) const;
    static void present(QWidget *window);

    QPointer<AppDelegate> m_delegate;
    QPointer<ProjectStore> m_store;
    QPointer<AgentService> m_engine;
    QPointer<AuthViewModel> m_model;
    QPointer<QuestionTexts> m_questions;
    APIService &m_api;
    DropCoordinator &m_drops;
    LoginItem &m_loginItem;
    QMenu m_menu;
    QSystemTrayIcon *m_tray = nullptr;
    StatusIcons::State m_iconState = StatusIcons::State::inactive;
    QSet<QString> m_tmuxSessions;
    QList<PairedDeviceResponse> m_devices;
    QElapsedTimer m_lastDeviceFetch; // invalid: never fetched
    qint64 m_deviceRefreshMs = 30000;
    QPointer<ProjectsWindow> m_projects;
    QPointer<SettingsWindow> m_settings;
    QPointer<SignInForm> m_signIn;
    QPointer<PairDeviceWindow> m_pairDevice;
};

} // namespace quillet
