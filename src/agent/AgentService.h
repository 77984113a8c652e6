#pragma once

#include "agent/AgentStateFile.h"
#include "agent/AgentWake.h"
#include "agent/PaneState.h"
#include "projects/CodingTool.h"
#include "projects/Project.h"
#include "projects/ProjectStore.h"

#include <QCoroTask>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace quillet {

class AgentClient;
class AlertSink;

// The monitoring engine. Once started it scans, every `pollInterval` seconds, the tmux panes
// of the projects; it posts the question of a screen that has stayed still for `idleThreshold`
// seconds, types the phone's answers and inputs back into the pane, carries out remote launch and
// stop commands and uploads the project list. Everything runs on the main thread; tmux child
// processes and excerpt computations run on the thread pool and are awaited. Pane turns, the
// command poll and the upload run as tasks of their own, so a slow request of one holds none of
// the others. A server that offers agent events is also asked, by one held request at a time, for
// replies, inputs and commands as they arrive; those are handled at once instead of at the next
// scan. While that hold is up, the scans leave the fetching of replies, inputs and commands to it,
// but for a safety fetch now and then.
class AgentService : public QObject {
    Q_OBJECT
public:
    using Clock = PaneState::Clock;

    explicit AgentService(QObject *parent = nullptr);
    ~AgentService() override;

    bool isRunning() const { return m_isRunning; }
    // Ends the loop at its next check; the pause in progress is cut short. Per-pane state is kept.
    void stop();
    // True while a loop started by `start`, or a request it set off, has not yet ended.
    bool isLoopActive() const { return m_activeLoops > 0 || m_backgroundTasks > 0; }

    // One record per monitored pane, keyed by pane target.
    const QMap<QString, PaneState> &monitoredSessions() const { return m_panes; }
    // Pane target to the id of its question waiting for a reply.
    QMap<QString, QString> pendingQuestions() const;
    // Pane target to its server session id.
    QMap<QString, QString> sessions() const;
    // The panes the latest scan gave to the project, in target order.
    QStringList panesOf(const QUuid &projectId) const;
    // Drops the pane's record; its pending question is expired and its server session closed on
    // the server (not awaited). A pane still listed is seen afresh by the next scan.
    void forgetPane(QString paneTarget);
    // The same for every pane that lives in the tmux session (a project's stop).
    void forgetSession(const QString &sessionName);
    // The session is being started by this process: what its panes show at first sight is news,
    // so a question already there is posted.
    void noteLaunchedSession(const QString &sessionName);

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
    // no guard: a second call while a loop runs starts a second one. The first start also reads
    // back the pending questions and server sessions that an earlier run left for this server.
    void start(const QString &serverURL, const QString &apiKey, const QString &label);

    // The parts of the loop, public for the shell, the tests and the benchmarks. A scan waits for
    // the turns it started up to a limit; a turn still running then goes on alone.
    QCoro::Task<> scan();
    QCoro::Task<std::optional<QString>> ensureServerSession(QString paneTarget);
    QCoro::Task<> deliverRemoteInputs(QString paneTarget, QString sid);
    QCoro::Task<> resolvePendingQuestion(QString paneTarget, QString sid, QString screen);
    // False when a tmux call failed: the reply was not (wholly) typed.
    QCoro::Task<bool> typeReply(QString paneTarget, QString text, QString screen);
    QCoro::Task<> pollCommands();
    QCoro::Task<> syncProjects();
    // `syncProjects` as a task the engine counts, so that a stop waits for the upload; a call
    // while one runs makes it upload once more, with the list as it is then.
    void syncProjectsInBackground();

    static QJsonObject projectSyncPayload(const Project &project, bool isRunning);
    // The question as posted: at most `maxQuestionLength` characters, cut between two
    // characters and ended with "…" when longer.
    static QString capQuestionText(const QString &text);
    static constexpr int maxQuestionLength = 500;

    // How long a one-key answer to a numbered menu is given to take effect before the screen is
    // looked at again.
    static constexpr std::chrono::milliseconds menuSettleTime{500};
    // How long the server holds one events request; below the client's 30 s stall limit.
    static constexpr int newsHoldSeconds = 25;
    // The first wait after a failed events request; it doubles up to the longest.
    static constexpr std::chrono::seconds firstRetry{1};
    static constexpr std::chrono::seconds longestRetry{60};
    // While the events are held, a scan still fetches every pane's inputs and reply and the
    // commands after this many scans or this long, whichever comes first: an event lost on the
    // way waits no longer than that.
    static constexpr int safetyFetchScans = 10;
    static constexpr std::chrono::seconds safetyFetchInterval{30};

Q_SIGNALS:
    void runningChanged(bool running);
    // After every completed scan, like `onStateChanged`.
    void stateChanged();
    void questionPosted(const QString &paneTarget, const QString &questionText);
    void loopFinished();

private:
    struct TurnGroup;
    // A pane's screen and the excerpt of it that is streamed, taken together off the main thread.
    struct Capture {
        QString screen;
        QString excerpt;
        // The digest of the question on the screen, if any.
        std::optional<QString> questionHash;
    };

    QCoro::Task<> runLoop();
    QCoro::Task<> pause(std::chrono::milliseconds duration);
    // Holds the server's events request, one at a time, while the engine runs and the server
    // offers it; a failure waits (doubling) and asks again. Polling goes on regardless.
    QCoro::Task<> watchServer();
    void wake(const AgentWake &news);
    // `fetch`: the turn asks the server for the pane's inputs and reply; without it, only what the
    // screen shows is acted on.
    QCoro::Task<> runTurn(QString paneTarget, quint64 generation, std::optional<Capture> capture,
                          bool fetch, std::shared_ptr<TurnGroup> group);
    QCoro::Task<> paneTurn(QString paneTarget, quint64 generation, std::optional<Capture> given,
                           bool fetch);
    // Whether this scan fetches what the held events would announce (and counts it if so).
    bool fetchesThisScan();
    // A pending question whose screen has moved on is expired.
    QCoro::Task<> expireIfMoved(QString paneTarget, QString sid, QString screen);
    QCoro::Task<> settleRestoredQuestion(QString paneTarget, quint64 generation, QString capture);
    QCoro::Task<> postQuestion(QString paneTarget, quint64 generation, QString sid, QString capture,
                               QString hash);
    // Expires the question and closes the session on the server, in that order; a task of its
    // own, not awaited by its callers.
    QCoro::Task<> retire(std::optional<QString> sid, std::optional<QString> qid, bool closeSession);
    QCoro::Task<> pollCommandsInBackground();
    QCoro::Task<> syncInBackground();
    void startBackgroundWork(bool pollCommands);
    void backgroundTaskEnded();
    void endQuestion(const QString &paneTarget);
    PaneState *paneOf(const QString &paneTarget, quint64 generation);
    CodingTool toolOf(const QString &paneTarget) const;
    QString pendingQuestionOf(const QString &paneTarget) const;
    QString baselineOf(const QString &paneTarget) const;
    void restoreState();
    void saveState();

    bool m_isRunning = false;
    QMap<QString, PaneState> m_panes;
    double m_pollInterval = 3.0;
    double m_idleThreshold = 5.0;
    int m_contextLines = 30;
    QPointer<ProjectStore> m_projectStore;
    // Digests of questions already posted or on screen at first sight; one memory for all panes.
    QMap<QString, Clock::time_point> m_postedHashes;
    // Sessions this process launched; true once a pane of it has been seen.
    QHash<QString, bool> m_launchedSessions;
    QString m_agentLabel;
    AgentClient *m_client;
    // The held events request has a connection of its own, so no other request queues behind it.
    AgentClient *m_newsClient;
    AlertSink *m_alertSink = nullptr;
    AgentStateFile m_stateFile;
    bool m_stateRestored = false;
    quint64 m_generations = 0;
    // The pauses in progress, so that a stop can end them at once.
    QList<QTimer *> m_pauses;
    int m_activeLoops = 0;
    int m_backgroundTasks = 0;
    bool m_commandsRunning = false;
    // A command arrived while the poll ran: it polls once more.
    bool m_commandsAgain = false;
    bool m_watching = false;
    // Since when the held events request has answered with no failure in between; unset while no
    // hold is up (not offered, dropped, stopped).
    std::optional<Clock::time_point> m_heldSince;
    // When a scan last fetched everything, and the scans since.
    std::optional<Clock::time_point> m_lastFetch;
    int m_scansSinceFetch = 0;
    bool m_syncRunning = false;
    bool m_syncAgain = false;
};

} // namespace quillet
