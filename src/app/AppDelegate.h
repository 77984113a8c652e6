#pragma once

#include "projects/Project.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <chrono>

namespace quillet {

class AgentService;
class AuthViewModel;
class ProjectStore;
class ShellFrontend;

// The application shell without a screen: builds the services at start-up, wires their callbacks
// to each other, and launches, stops and recovers the projects' tmux sessions. What needs a
// screen goes through the ShellFrontend, so the tray app and the headless agent share this.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Label under which this computer registers its server sessions.
    static inline const QString agentLabel = QStringLiteral("Quillet Mac");

    // `frontend` is not owned and must outlive this object.
    explicit AppDelegate(ShellFrontend *frontend, QObject *parent = nullptr);
    ~AppDelegate() override;

    // The start-up sequence; once only.
    void applicationDidFinishLaunching();

    ProjectStore *projectStore() const { return m_projectStore; }
    AgentService *agentService() const { return m_agentService; }
    AuthViewModel *authViewModel() const { return m_authViewModel; }

    void launchProject(const Project &project);
    void stopProject(const Project &project);
    void autoLaunchProjects();
    void recoverSessions();
    void startAgentIfNeeded();
    // Stops the monitor for good: a recovery or sign-in still in flight starts it no more.
    void stopMonitoring();
    // What a successful sign-in sets off (the view model's onAuthenticated).
    void handleAuthenticated();

    // The pause between creating a session and typing its launch command, so the shell in it is
    // ready to read it.
    static constexpr std::chrono::milliseconds launchCommandDelay{1000};

Q_SIGNALS:
    // The launch sequence of a project has finished.
    void projectLaunched(const QUuid &projectId);
    // A recovery has looked at the running sessions.
    void recoveryFinished(bool foundRunningSession);

private:
    QCoro::Task<> launchSequence(QString name, QString directory, QString command, Project project);
    QCoro::Task<> recover(QStringList sessionNames);
    void syncProjectsInBackground();

    ShellFrontend *m_frontend;
    ProjectStore *m_projectStore = nullptr;
    AgentService *m_agentService = nullptr;
    AuthViewModel *m_authViewModel = nullptr;
    bool m_monitoringStopped = false;
};

} // namespace quillet
