#include "ui/TrayApp.h"

#include "agent/AgentService.h"
#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "app/LoginItem.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "ui/FirstRunWindow.h"
#include "ui/SignInForm.h"

#include <QLibrary>
#include <QLoggingCategory>
#include <QPointer>

namespace quillet {

namespace {

// Qt aborts the process when its X11 platform cannot open the display. Ask the X server first,
// the way Qt will: through libxcb, which that platform loads anyway.
bool xServerAnswers() {
    QLibrary xcb(QStringLiteral("xcb"), 1);
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    const auto connectTo = reinterpret_cast<Connect>(xcb.resolve("xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(xcb.resolve("xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(xcb.resolve("xcb_disconnect"));
    if (!connectTo || !hasError || !disconnect)
        return false;
    void *connection = connectTo(nullptr, nullptr); // never null: an error has its own object
    const bool answers = connection && hasError(connection) == 0;
    if (connection)
        disconnect(connection);
    return answers;
}

Q_LOGGING_CATEGORY(lcTrayApp, "lorvo.fennick.quillet-mac.TrayApp")

const char *agentHint = "To watch your agents without a desktop, run `quillet agent`.\n";

} // namespace

TrayApp::TrayApp(QObject *parent)
    : QObject(parent), m_delegate(&m_frontend),
      m_frontend(APIService::shared(), m_drops, LoginItem::platform()) {}

TrayApp::~TrayApp() {
    // It works with the account and the relay below; it goes first.
    delete m_firstRun;
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
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (platform.isEmpty() && !wayland && !x11)
        return QStringLiteral("quillet: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY "
                              "is set), so the tray app cannot start.\n") +
               QLatin1String(agentHint);
    const bool usesX =
        platform.startsWith(QLatin1String("xcb")) || (platform.isEmpty() && !wayland);
    if (usesX && !xServerAnswers())
        return QStringLiteral("quillet: the X display \"%1\" cannot be reached, so the tray app "
                              "cannot start.\n")
                   .arg(qEnvironmentVariable("DISPLAY")) +
               QLatin1String(agentHint);
    return std::nullopt;
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

    if (!Settings::contains(Settings::serverURL))
        openFirstRun();
    else if (Settings::readBool(Settings::localServer))
        keepLocalServerRunning();

    // The bubble carries the question itself, and plays the sound with it.
    if (AgentService *engine = m_delegate.agentService())
        connect(engine, &AgentService::questionPosted, this,
                [this](const QString &pane, const QString &text) {
                    m_notifier.notifyNewQuestion(QStringLiteral("Question in ") + pane, text);
                });
}

void TrayApp::openFirstRun() {
    AuthViewModel *account = m_delegate.authViewModel();
    if (!account)
        return;
    m_firstRun = new FirstRunWindow(*account, m_localServer);
    m_firstRun->setAttribute(Qt::WA_DeleteOnClose);
    m_firstRun->setAttribute(Qt::WA_QuitOnClose, false);
    QPointer<TrayApp> self(this);
    m_firstRun->openSignIn = [self](const QString &url) {
        if (!self)
            return;
        self->m_frontend.openSignIn();
        if (auto *form = qobject_cast<SignInForm *>(self->m_frontend.signInWindow()))
            form->setServerURL(url);
    };
    m_firstRun->openPairing = [self] {
        if (self)
            self->m_frontend.openPairDevice();
    };
    m_firstRun->show();
}

QCoro::Task<> TrayApp::keepLocalServerRunning() {
    // The relay this computer runs for Quillet: started again if it is down (a process of ours
    // ended with the last session; a systemd service normally runs already).
    const QString url = Settings::readTextOrEmpty(Settings::serverURL);
    if (const auto failure = co_await m_localServer.ensureRunning(url))
        qCWarning(lcTrayApp, "The server on this computer is not running: %s",
                  qUtf8Printable(*failure));
}

} // namespace quillet
