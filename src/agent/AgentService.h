#pragma once

#include "agent/SessionInfo.h"
#include "projects/CodingTool.h"
#include "projects/Project.h"
#include "projects/ProjectStore.h"

#include <QCoroTask>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

class QTimer;

namespace quillet {

class AgentClient;
class AlertSink;

// The monitoring engine. Once started it scans, every `pollInterval` seconds, the tmux panes
// that run the projects' coding tools; it posts the question of a screen that has stayed still
// for `idleThreshold` seconds, types the phone's answers and inputs back into the pane, carries
// out remote launch and stop commands and uploads the project list. Everything runs on the main
// thread; tmux child processes and excerpt computations run on the thread pool and are awaited.
class AgentService : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    explicit AgentService(QObject *parent = nullptr);
    ~AgentService() override;

    bool isRunning() const { return m_isRunning; }
    // Ends the loop at its next check; the pause in progress is cut short. Per-pane state is kept.
    void stop();
    // True while a loop started by `start` has not yet ended.
    bool isLoopActive() const { return m_activeLoops > 0; }

    const QMap<QString, SessionInfo> &monitoredSessions() const { return m_monitoredSessions; }
    const QMap<QString, QString> &pendingQuestions() const { return m_pendingQuestions; }
    const QMap<QString, QString> &sessions() const { return m_sessions; }
    // For the shell's stop of a project: the pane leaves the monitored and pending maps.
    void forgetPane(QString paneTarget);

    double pollInterval() const { return m_pollInterval; }
    void setPollInterval(double seconds) { m_pollInterval = seconds; }
    double idleThreshold() const { return m_idleThreshold; }
    void setIdleThreshold(double seconds) { m_idleThreshold = seconds; }
    int contextLines() const { return m_contextLines; }
    void setContextLines(int lines) { m_contextLines = lines; }

    ProjectStore *projectStore() const { return m_projectStore; }
    void setProjectStore(ProjectStore *store) { m_projectStore = store; }
    // Not owned; nullptr plays nothing.
    void setAlertSink(AlertSink *sink) { m_alertSink = sink; }

    std::function<void()> onStateChanged;
    std::function<void(const Project &)> onLaunchProject;
    std::function<void(const Project &)> onStopProject;

    QString serverURL() const;
    QString apiKey() const;
    QString agentLabel() const { return m_agentLabel; }
    AgentClient &client() { return *m_client; }

    // Stores the connection (one trailing "/" removed from the URL) and starts a loop. There is
    // no guard: a second call while a loop runs starts a second one.
    void start(const QString &serverURL, const QString &apiKey, const QString &label);

    // The parts of the loop, public for the shell, the tests and the benchmarks.
    QCoro::Task<> scan();
    QCoro::Task<std::optional<QString>> ensureServerSession(QString paneTarget);
    QCoro::Task<> deliverRemoteInputs(QString paneTarget, QString sid);
    QCoro::Task<> resolvePendingQuestion(QString paneTarget, QString sid, QString screen);
    // False when a tmux call failed: the reply was not (wholly) typed.
    QCoro::Task<bool> typeReply(QString paneTarget, QString text, QString screen);
    QCoro::Task<> pollCommands();
    QCoro::Task<> syncProjects();

    static QJsonObject projectSyncPayload(const Project &project, bool isRunning);

    // How long a one-key answer to a numbered menu is given to take effect before the screen is
    // looked at again.
    static constexpr std::chrono::milliseconds menuSettleTime{500};

Q_SIGNALS:
    void runningChanged(bool running);
    // After every completed scan, like `onStateChanged`.
    void stateChanged();
    void questionPosted(const QString &paneTarget, const QString &questionText);
    void loopFinished();

private:
    QCoro::Task<> runLoop();
    QCoro::Task<> pause();
    QCoro::Task<> paneTurn(QString paneTarget, CodingTool tool);
    void removePaneState(const QString &paneTarget);
    void resetBaseline(const QString &paneTarget, const QString &capture, Clock::time_point now);
    void endQuestion(const QString &paneTarget);
    CodingTool toolOf(const QString &paneTarget) const;

    bool m_isRunning = false;
    QMap<QString, SessionInfo> m_monitoredSessions;
    QMap<QString, QString> m_pendingQuestions;
    double m_pollInterval = 3.0;
    double m_idleThreshold = 5.0;
    int m_contextLines = 30;
    QPointer<ProjectStore> m_projectStore;
    QMap<QString, QString> m_previousContent;
    QMap<QString, QString> m_lastPostedContent;
    // Measured on the monotonic clock, so a change of the wall clock cannot post or hold a
    // question.
    QMap<QString, Clock::time_point> m_idleSince;
    QMap<QString, Clock::time_point> m_postedHashes;
    QMap<QString, QString> m_sessions;
    QMap<QString, CodingTool> m_paneTools;
    QString m_agentLabel;
    AgentClient *m_client;
    AlertSink *m_alertSink = nullptr;
    // The pauses in progress, so that a stop can end them at once.
    QList<QTimer *> m_pauses;
    int m_activeLoops = 0;
};

} // namespace quillet
