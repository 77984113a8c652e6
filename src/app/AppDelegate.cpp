#include "app/AppDelegate.h"

#include "agent/AgentClient.h"
#include "agent/AgentService.h"
#include "agent/TmuxService.h"
#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "app/ShellFrontend.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"

#include <QCoroFuture>
#include <QCoroTimer>
#include <QLoggingCategory>
#include <QTimer>
#include <QtConcurrent>

Q_LOGGING_CATEGORY(lcApp, "lorvo.fennick.quillet-mac.AppDelegate")

namespace quillet {

namespace {

// At least `duration` on the monotonic clock: a timer may fire a little early.
QCoro::Task<> waitAtLeast(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    for (auto left = duration; left.count() > 0;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(
             until - std::chrono::steady_clock::now())) {
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        timer.start(left + std::chrono::milliseconds(1));
        co_await timer;
    }
}

} // namespace

AppDelegate::AppDelegate(ShellFrontend *frontend, QObject *parent)
    : QObject(parent), m_frontend(frontend) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    auto *store = new ProjectStore(this);
    auto *engine = new AgentService(this);
    auto *account = new AuthViewModel(APIService::shared(), this);
    store->load();
    // Edits made with `quillet projects` while the app runs are followed.
    store->setWatchingFile(true);

    const Settings::Tuning tuning = Settings::readTuning();
    if (engine->pollInterval() != tuning.pollInterval)
        engine->setPollInterval(tuning.pollInterval);
    if (engine->idleThreshold() != tuning.idleThreshold)
        engine->setIdleThreshold(tuning.idleThreshold);
    if (engine->contextLines() != tuning.contextLines)
        engine->setContextLines(tuning.contextLines);
    engine->setProjectStore(store);
    m_projectStore = store;
    m_agentService = engine;
    m_authViewModel = account;

    m_frontend->installStatusItem();
    // Restoring the sign-in talks to the server; start-up goes on without waiting for it.
    account->checkExistingSession();

    const QPointer<AppDelegate> self(this);
    engine->onStateChanged = [self] {
        if (!self)
            return;
        self->m_frontend->refreshStatus();
        self->m_frontend->rebuildMenu();
    };
    engine->onLaunchProject = [self](const Project &project) {
        if (self)
            self->launchProject(project);
    };
    engine->onStopProject = [self](const Project &project) {
        if (self)
            self->stopProject(project);
    };
    store->onChanged = [self] {
        if (!self)
            return;
        self->m_frontend->rebuildMenu();
        self->syncProjectsInBackground();
        // A project added for a session that already runs is watched from now on, not from the
        // next start.
        self->recoverSessions();
    };
    account->onAuthenticated = [self] {
        if (self)
            self->handleAuthenticated();
    };

    autoLaunchProjects();
    recoverSessions();
}

void AppDelegate::handleAuthenticated() {
    m_frontend->closeSignIn();
    recoverSessions();
    m_frontend->refreshPairedDevicesIfStale();
    syncProjectsInBackground();
}

void AppDelegate::syncProjectsInBackground() {
    if (m_agentService)
        m_agentService->syncProjectsInBackground();
}

void AppDelegate::launchProject(const Project &project) {
    if (!TmuxService::tmuxPath()) {
        m_frontend->showTmuxNotFound();
        return;
    }
    launchSequence(project.tmuxSessionName, project.directory, project.launchCommand, project);
}

QCoro::Task<> AppDelegate::launchSequence(QString name, QString directory, QString command,
                                          Project project) {
    const QPointer<AppDelegate> self(this);
    const bool existed = co_await QtConcurrent::run(&TmuxService::sessionExists, name);
    // Whatever the new session's program asks at once is news to the user, not old screen.
    if (!existed && self && m_agentService)
        m_agentService->noteLaunchedSession(name);
    if (existed)
        co_await QtConcurrent::run(&TmuxService::clearClaudeCodeMarker, name);
    else
        co_await QtConcurrent::run(&TmuxService::createSession, name, directory);
    if (!self)
        co_return;
    m_frontend->attachTerminal(name);
    if (!existed) {
        co_await waitAtLeast(launchCommandDelay);
        co_await QtConcurrent::run(&TmuxService::sendLaunchCommand, name, command);
        if (!self)
            co_return;
    }
    if (m_projectStore) {
        if (std::optional<Project> stored = m_projectStore->project(project.id)) {
            stored->lastUsedAt = QDateTime::currentDateTimeUtc();
            m_projectStore->update(*stored);
        }
    }
    startAgentIfNeeded();
    qCInfo(lcApp, "Launched project: %s", qUtf8Printable(project.name));
    m_frontend->rebuildMenu();
    Q_EMIT projectLaunched(project.id);
}

void AppDelegate::stopProject(const Project &project) {
    // The panes of the session: their questions are expired and their server sessions closed.
    if (m_agentService)
        m_agentService->forgetSession(project.tmuxSessionName);
    // Not awaited: the monitor notices the vanished panes on its own.
    QThreadPool::globalInstance()->start(
        [name = project.tmuxSessionName] { TmuxService::killSession(name); });
    qCInfo(lcApp, "Stopped project: %s", qUtf8Printable(project.name));
    m_frontend->refreshStatus();
    m_frontend->rebuildMenu();
}

void AppDelegate::autoLaunchProjects() {
    if (!m_projectStore)
        return;
    const QList<Project> projects = m_projectStore->projects();
    for (const Project &project : projects) {
        if (project.autoLaunch)
            launchProject(project);
    }
}

void AppDelegate::recoverSessions() {
    if (!m_projectStore)
        return;
    QStringList names;
    for (const Project &project : m_projectStore->projects())
        names << project.tmuxSessionName;
    recover(names);
}

QCoro::Task<> AppDelegate::recover(QStringList sessionNames) {
    const QPointer<AppDelegate> self(this);
    const QList<TmuxSession> running = co_await QtConcurrent::run(&TmuxService::listSessions);
    if (!self)
        co_return;
    bool found = false;
    for (const QString &name : std::as_const(sessionNames)) {
        const bool runs = std::any_of(running.cbegin(), running.cend(),
                                      [&name](const TmuxSession &s) { return s.name == name; });
        if (runs) {
            qCInfo(lcApp, "Recovering session for project: %s", qUtf8Printable(name));
            found = true;
        }
    }
    if (found)
        startAgentIfNeeded();
    Q_EMIT recoveryFinished(found);
}

void AppDelegate::stopMonitoring() {
    m_monitoringStopped = true;
    if (m_agentService)
        m_agentService->stop();
}

void AppDelegate::startAgentIfNeeded() {
    if (!m_agentService || m_agentService->isRunning() || m_monitoringStopped)
        return;
    const QString serverURL = Settings::readTextOrEmpty(Settings::serverURL);
    const QString apiKey = Settings::readTextOrEmpty(Settings::agentApiKey);
    if (serverURL.isEmpty() || apiKey.isEmpty()) {
        qCCritical(lcApp, "Cannot start agent: server URL or API key not configured");
        return;
    }
    m_agentService->start(serverURL, apiKey, agentLabel);
    m_frontend->refreshStatus();
}

} // namespace quillet
