#include "agent/AgentService.h"

#include "agent/AgentClient.h"
#include "agent/AlertSink.h"
#include "agent/MenuAnswer.h"
#include "agent/ScreenAnalysis.h"
#include "agent/TmuxService.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"

#include <QCoroFuture>
#include <QCoroTimer>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QSet>
#include <QTimer>
#include <QtConcurrent>

Q_LOGGING_CATEGORY(lcAgent, "lorvo.fennick.quillet-mac.AgentService")

namespace quillet {

namespace {

struct ListedPane {
    QString sessionName;
    CodingTool tool;
    QString paneTarget;
    QString title;
};

// Blocking: one tmux listing per project.
QList<ListedPane> listPanesOf(const QList<QPair<QString, CodingTool>> &projects) {
    QList<ListedPane> listed;
    for (const auto &[session, tool] : projects) {
        for (const TmuxPane &pane : TmuxService::listPanes(session, tool))
            listed.append({session, tool, pane.paneTarget, pane.title});
    }
    return listed;
}

// Blocking: one session listing answers every project's running state.
QSet<QString> runningSessionNames() {
    QSet<QString> names;
    for (const TmuxSession &session : TmuxService::listSessions())
        names.insert(session.name);
    return names;
}

struct QuestionTexts {
    QString question;
    QString context;
};

QString firstCharacters(const QString &text, int count) {
    return text.left(count);
}

} // namespace

AgentService::AgentService(QObject *parent) : QObject(parent), m_client(new AgentClient(this)) {}

AgentService::~AgentService() = default;

QString AgentService::serverURL() const {
    return m_client->serverUrl();
}

QString AgentService::apiKey() const {
    return m_client->apiKey();
}

void AgentService::stop() {
    if (!m_isRunning)
        return;
    m_isRunning = false;
    Q_EMIT runningChanged(false);
    for (QTimer *timer : std::as_const(m_pauses))
        timer->start(0);
}

void AgentService::forgetPane(QString paneTarget) {
    // By value: callers pass keys of the very maps this empties.
    m_monitoredSessions.remove(paneTarget);
    m_pendingQuestions.remove(paneTarget);
}

void AgentService::start(const QString &serverURL, const QString &apiKey, const QString &label) {
    QString url = serverURL;
    if (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    m_client->setServerUrl(url);
    m_client->setApiKey(apiKey);
    m_agentLabel = label;
    const bool wasRunning = m_isRunning;
    m_isRunning = true;
    if (!wasRunning)
        Q_EMIT runningChanged(true);
    qCInfo(lcAgent, "Agent started (label: %s)", qUtf8Printable(label));
    runLoop();
}

QCoro::Task<> AgentService::runLoop() {
    ++m_activeLoops;
    co_await syncProjects();
    while (m_isRunning) {
        co_await scan();
        if (!m_isRunning)
            break;
        co_await pause();
    }
    if (--m_activeLoops == 0)
        Q_EMIT loopFinished();
}

QCoro::Task<> AgentService::pause() {
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    m_pauses.append(&timer);
    timer.start(std::chrono::milliseconds(qint64(m_pollInterval * 1000)));
    co_await timer;
    m_pauses.removeOne(&timer);
}

QCoro::Task<> AgentService::scan() {
    const QList<Project> projects = m_projectStore ? m_projectStore->projects() : QList<Project>();
    if (projects.isEmpty()) {
        qCDebug(lcAgent, "No projects configured");
        co_return;
    }
    QList<QPair<QString, CodingTool>> wanted;
    for (const Project &project : projects)
        wanted.append({project.tmuxSessionName, project.tool});

    const QList<ListedPane> listed = co_await QtConcurrent::run(&listPanesOf, wanted);
    QSet<QString> present;
    for (const ListedPane &pane : listed) {
        present.insert(pane.paneTarget);
        m_paneTools.insert(pane.paneTarget, pane.tool);
        if (!m_monitoredSessions.contains(pane.paneTarget))
            m_monitoredSessions.insert(
                pane.paneTarget,
                SessionInfo{pane.paneTarget, pane.title, std::nullopt, SessionStatus::active});
        co_await paneTurn(pane.paneTarget, pane.tool);
    }

    const QStringList monitored = m_monitoredSessions.keys();
    for (const QString &target : monitored) {
        if (present.contains(target))
            continue;
        if (const auto sid = m_sessions.find(target); sid != m_sessions.end()) {
            co_await m_client->closeServerSession(*sid);
            qCInfo(lcAgent, "Closed stale session for disappeared pane: %s",
                   qUtf8Printable(target));
        }
        removePaneState(target);
    }

    co_await pollCommands();
    co_await syncProjects();
    if (onStateChanged)
        onStateChanged();
    Q_EMIT stateChanged();
}

void AgentService::removePaneState(const QString &paneTarget) {
    m_sessions.remove(paneTarget);
    m_monitoredSessions.remove(paneTarget);
    m_pendingQuestions.remove(paneTarget);
    m_previousContent.remove(paneTarget);
    m_lastPostedContent.remove(paneTarget);
    m_idleSince.remove(paneTarget);
    m_paneTools.remove(paneTarget);
}

void AgentService::resetBaseline(const QString &paneTarget, const QString &capture,
                                 Clock::time_point now) {
    m_previousContent.insert(paneTarget, capture);
    m_idleSince.insert(paneTarget, now);
    m_postedHashes.clear();
}

CodingTool AgentService::toolOf(const QString &paneTarget) const {
    return m_paneTools.value(paneTarget, CodingTool::generic);
}

QCoro::Task<> AgentService::paneTurn(QString target, CodingTool tool) {
    const QString capture = co_await QtConcurrent::run(&TmuxService::capturePane, target);
    if (capture.isEmpty())
        co_return;
    const std::optional<QString> sid = co_await ensureServerSession(target);
    if (!sid)
        co_return;

    // GCC 12 destroys a lambda temporary inside a co_await expression twice: name it first.
    const auto streamExcerpt = [capture, tool] {
        return ScreenAnalysis::cleanForDisplay(ScreenAnalysis::recentLines(capture, 100, tool));
    };
    const QString excerpt = co_await QtConcurrent::run(streamExcerpt);
    const auto lastPosted = m_lastPostedContent.constFind(target);
    if (lastPosted == m_lastPostedContent.constEnd() || *lastPosted != excerpt) {
        m_lastPostedContent.insert(target, excerpt);
        co_await m_client->streamContent(*sid, excerpt);
    }

    co_await deliverRemoteInputs(target, *sid);
    if (m_pendingQuestions.contains(target))
        co_await resolvePendingQuestion(target, *sid, capture);

    const Clock::time_point now = Clock::now();
    if (!m_previousContent.contains(target)) {
        m_previousContent.insert(target, capture);
        m_idleSince.insert(target, now);
        // A question already on screen when monitoring begins is not news.
        if (const auto key = ScreenAnalysis::questionKey(capture, tool))
            m_postedHashes.insert(ScreenAnalysis::contentHash(*key), now);
        qCDebug(lcAgent, "First scan for pane %s, seeding baseline", qUtf8Printable(target));
        co_return;
    }

    const bool changed = capture.trimmed() != m_previousContent.value(target).trimmed();
    if (m_pendingQuestions.contains(target)) {
        if (changed)
            resetBaseline(target, capture, now);
        co_return;
    }
    if (changed) {
        resetBaseline(target, capture, now);
        qCDebug(lcAgent, "Content changed, resetting idle timer");
        co_return;
    }

    if (!m_idleSince.contains(target))
        m_idleSince.insert(target, now);
    const Clock::time_point since = m_idleSince.value(target);
    if (now - since < std::chrono::duration<double>(m_idleThreshold))
        co_return;

    const std::optional<QString> key = ScreenAnalysis::questionKey(capture, tool);
    if (!key || key->isEmpty())
        co_return;
    const QString hash = ScreenAnalysis::contentHash(*key);
    if (m_postedHashes.contains(hash))
        co_return;

    const int contextLines = m_contextLines;
    const auto questionTexts = [capture, tool, contextLines] {
        return QuestionTexts{ScreenAnalysis::questionText(capture),
                             ScreenAnalysis::cleanForDisplay(
                                 ScreenAnalysis::recentLines(capture, contextLines, tool))};
    };
    const QuestionTexts texts = co_await QtConcurrent::run(questionTexts);
    const std::optional<QString> qid =
        co_await m_client->postQuestion(*sid, texts.context, texts.question);
    if (!qid)
        co_return;

    m_postedHashes.insert(hash, Clock::now());
    m_pendingQuestions.insert(target, *qid);
    if (auto info = m_monitoredSessions.find(target); info != m_monitoredSessions.end())
        info->status = SessionStatus::waitingForInput;
    qCInfo(lcAgent, "Posted question: %s", qUtf8Printable(firstCharacters(texts.question, 80)));
    Q_EMIT questionPosted(target, texts.question);
    if (m_alertSink && Settings::readBool(Settings::notificationSound))
        m_alertSink->playAlertSound();
}

QCoro::Task<std::optional<QString>> AgentService::ensureServerSession(QString paneTarget) {
    if (const auto cached = m_sessions.constFind(paneTarget); cached != m_sessions.constEnd())
        co_return *cached;
    std::optional<QString> projectName;
    if (m_projectStore) {
        for (const Project &project : m_projectStore->projects()) {
            if (paneTarget.startsWith(project.tmuxSessionName + QLatin1Char(':'))) {
                projectName = project.name;
                break;
            }
        }
    }
    const std::optional<QString> sid =
        co_await m_client->createServerSession(m_agentLabel, projectName, paneTarget);
    if (!sid)
        co_return std::nullopt;
    m_sessions.insert(paneTarget, *sid);
    if (auto info = m_monitoredSessions.find(paneTarget); info != m_monitoredSessions.end())
        info->serverSessionId = *sid;
    co_return sid;
}

QCoro::Task<> AgentService::deliverRemoteInputs(QString paneTarget, QString sid) {
    const QJsonArray inputs = co_await m_client->fetchInputs(sid);
    for (const QJsonValue &element : inputs) {
        const QJsonValue text = element.toObject().value(QStringLiteral("input_text"));
        const QJsonValue id = element.toObject().value(QStringLiteral("id"));
        if (!text.isString() || !id.isString())
            continue;
        co_await QtConcurrent::run(&TmuxService::sendText, paneTarget, text.toString());
        co_await m_client->acknowledgeInput(sid, id.toString());
        qCInfo(lcAgent, "Injected input: %s", qUtf8Printable(firstCharacters(text.toString(), 50)));
    }
}

void AgentService::endQuestion(const QString &paneTarget) {
    m_pendingQuestions.remove(paneTarget);
    if (auto info = m_monitoredSessions.find(paneTarget); info != m_monitoredSessions.end())
        info->status = SessionStatus::active;
}

QCoro::Task<> AgentService::resolvePendingQuestion(QString paneTarget, QString sid,
                                                   QString screen) {
    const QString qid = m_pendingQuestions.value(paneTarget);
    const std::optional<QString> reply = co_await m_client->fetchReply(sid, qid);
    if (reply) {
        const QString now = co_await QtConcurrent::run(&TmuxService::capturePane, paneTarget);
        // A reply meant for a screen that has since moved on would answer something else.
        if (!now.isEmpty() && now.trimmed() == screen.trimmed()) {
            co_await typeReply(paneTarget, *reply, now);
            qCInfo(lcAgent, "Injected reply: %s", qUtf8Printable(*reply));
        }
        endQuestion(paneTarget);
        co_return;
    }
    const QString previous = m_previousContent.value(paneTarget);
    const bool stale = previous.isEmpty() ||
                       ScreenAnalysis::contentHash(screen) != ScreenAnalysis::contentHash(previous);
    if (!stale)
        co_return;
    co_await m_client->expireQuestion(sid, qid);
    endQuestion(paneTarget);
    qCInfo(lcAgent, "Question expired — pane changed");
}

QCoro::Task<> AgentService::typeReply(QString paneTarget, QString text, QString screen) {
    if (text == QLatin1String("\t")) {
        co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget, QStringLiteral("Tab"));
        co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget, QStringLiteral("Enter"));
        qCInfo(lcAgent, "Reply typed as Tab, then Enter");
        co_return;
    }
    if (text.size() == 1 && text.front().isDigit()) {
        if (co_await MenuAnswer::choose(paneTarget, text.front().digitValue(), screen))
            co_return;
    }
    // Numbered menus take a digit (or an option's letter) on the key alone; an Enter after it
    // would land on whatever screen comes next. Press it only if the question is still there.
    if (text.size() == 1 && ScreenAnalysis::endsInNumberedMenu(screen)) {
        const CodingTool tool = toolOf(paneTarget);
        const std::optional<QString> before = ScreenAnalysis::questionKey(screen, tool);
        co_await QtConcurrent::run(&TmuxService::sendLiteralKey, paneTarget, text);
        co_await QCoro::sleepFor(menuSettleTime);
        const QString after = co_await QtConcurrent::run(&TmuxService::capturePane, paneTarget);
        const std::optional<QString> afterKey = ScreenAnalysis::questionKey(after, tool);
        if (before && afterKey &&
            ScreenAnalysis::contentHash(*before) == ScreenAnalysis::contentHash(*afterKey)) {
            co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget, QStringLiteral("Enter"));
            qCInfo(lcAgent,
                   "Reply typed as a menu key, then Enter: the question was still on screen");
        } else {
            qCInfo(lcAgent, "Reply typed as a menu key alone: the menu answered on it");
        }
        co_return;
    }
    co_await QtConcurrent::run(&TmuxService::sendText, paneTarget, text);
    qCInfo(lcAgent, "Reply typed as text, then Enter");
}

QCoro::Task<> AgentService::pollCommands() {
    if (serverURL().isEmpty() || apiKey().isEmpty())
        co_return;
    const std::optional<QJsonArray> commands = co_await m_client->fetchPendingCommands();
    if (!commands || commands->isEmpty())
        co_return;
    for (const QJsonValue &element : *commands) {
        const QJsonObject command = element.toObject();
        const QJsonValue id = command.value(QStringLiteral("id"));
        const QJsonValue projectId = command.value(QStringLiteral("project_id"));
        const QJsonValue type = command.value(QStringLiteral("command_type"));
        if (!id.isString() || !projectId.isString() || !type.isString())
            continue;
        std::optional<Project> project;
        if (m_projectStore) {
            for (const Project &candidate : m_projectStore->projects()) {
                if (candidate.idText() == projectId.toString()) {
                    project = candidate;
                    break;
                }
            }
        }
        if (!project) {
            co_await m_client->acknowledgeCommand(id.toString(), QStringLiteral("failed"),
                                                  QStringLiteral("Project not found locally"));
            continue;
        }
        co_await m_client->acknowledgeCommand(id.toString(), QStringLiteral("delivered"),
                                              std::nullopt);
        if (type.toString() == QLatin1String("launch")) {
            qCInfo(lcAgent, "Remote launch: %s", qUtf8Printable(project->name));
            if (onLaunchProject)
                onLaunchProject(*project);
            co_await m_client->acknowledgeCommand(id.toString(), QStringLiteral("success"),
                                                  std::nullopt);
        } else if (type.toString() == QLatin1String("stop")) {
            qCInfo(lcAgent, "Remote stop: %s", qUtf8Printable(project->name));
            if (onStopProject)
                onStopProject(*project);
            co_await m_client->acknowledgeCommand(id.toString(), QStringLiteral("success"),
                                                  std::nullopt);
        } else {
            co_await m_client->acknowledgeCommand(id.toString(), QStringLiteral("failed"),
                                                  QStringLiteral("Unknown command type: ") +
                                                      type.toString());
        }
    }
    co_await syncProjects();
}

QJsonObject AgentService::projectSyncPayload(const Project &project, bool isRunning) {
    QJsonObject payload;
    payload.insert(QStringLiteral("id"), project.idText());
    payload.insert(QStringLiteral("name"), project.name);
    payload.insert(QStringLiteral("directory"), project.directory);
    payload.insert(QStringLiteral("tmux_session_name"), project.tmuxSessionName);
    payload.insert(QStringLiteral("launch_command"), project.launchCommand);
    payload.insert(QStringLiteral("tool"), rawValue(project.tool));
    payload.insert(QStringLiteral("auto_launch"), project.autoLaunch);
    payload.insert(QStringLiteral("is_running"), isRunning);
    return payload;
}

QCoro::Task<> AgentService::syncProjects() {
    if (serverURL().isEmpty() || apiKey().isEmpty() || !m_projectStore)
        co_return;
    const QList<Project> projects = m_projectStore->projects();
    const QSet<QString> running = co_await QtConcurrent::run(&runningSessionNames);
    QJsonArray payload;
    for (const Project &project : projects)
        payload.append(projectSyncPayload(project, running.contains(project.tmuxSessionName)));
    const int status = co_await m_client->uploadProjects(payload);
    if (status == 200)
        qCDebug(lcAgent, "Synced %ld project(s) to server", long(projects.size()));
    else
        qCCritical(lcAgent, "Failed to sync projects (status: %ld)", long(status));
}

} // namespace quillet
