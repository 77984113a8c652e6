#include "agent/AgentService.h"

#include "agent/AgentClient.h"
#include "agent/AlertSink.h"
#include "agent/MenuAnswer.h"
#include "agent/ScreenAnalysis.h"
#include "agent/TmuxService.h"
#include "common/ControlText.h"
#include "common/InputKey.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"

#include <QCoroFuture>
#include <QCoroTimer>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QSet>
#include <QTextBoundaryFinder>
#include <QTimer>
#include <QtConcurrent>

Q_LOGGING_CATEGORY(lcAgent, "lorvo.fennick.quillet-mac.AgentService")

namespace quillet {

namespace {

struct ClaimedPane {
    TmuxPane pane;
    // Index of the owning project in the scan's list.
    qsizetype project = -1;
    // The capture the tool matching took, if it needed one, else the one taken for the turn.
    std::optional<QString> screen;
    // What of the screen is streamed.
    QString excerpt;
    std::optional<QString> questionHash;
};

// Blocking: what of a screen is streamed to the server.
QString excerptOf(const QString &screen, CodingTool tool) {
    return ScreenAnalysis::cleanForDisplay(ScreenAnalysis::recentLines(screen, 100, tool));
}

// Blocking: the digest of the question the screen asks, if it asks one. Looked for on every scan
// of every pane, so it is done here, off the main thread, with the capture.
std::optional<QString> questionHashOf(const QString &screen, CodingTool tool) {
    const std::optional<QString> key = ScreenAnalysis::questionKey(screen, tool);
    if (!key || key->isEmpty())
        return std::nullopt;
    return ScreenAnalysis::contentHash(*key);
}

// Blocking: the screens of the claimed panes, taken in parallel on as many threads as there are
// cores, so a scan costs about its slowest capture rather than the sum of them.
void captureAll(QList<ClaimedPane> &claimed, const QList<Project> &projects) {
    static QThreadPool *const pool = [] {
        auto *made = new QThreadPool;
        made->setMaxThreadCount(QThread::idealThreadCount());
        return made;
    }();
    const auto capture = [&projects](ClaimedPane &claim) {
        if (!claim.screen)
            claim.screen = TmuxService::capturePane(claim.pane.paneTarget);
        claim.excerpt = excerptOf(*claim.screen, projects[claim.project].tool);
        claim.questionHash = questionHashOf(*claim.screen, projects[claim.project].tool);
    };
    QtConcurrent::blockingMap(pool, claimed, capture);
}

// Blocking: one listing of every pane, then the project each pane belongs to. A pane belongs to
// the project whose session it lives in (running the project's tool, for Claude Code and Codex);
// with `everywhere`, a pane of another session that runs Claude Code or Codex belongs to the first
// project of that tool. A pane no project claims is never read again. Nothing when the listing
// failed.
std::optional<QList<ClaimedPane>> claimPanes(const QList<Project> &projects, bool everywhere) {
    const std::optional<QList<TmuxPane>> listed = TmuxService::paneListing();
    if (!listed)
        return std::nullopt;
    QList<ClaimedPane> claimed;
    for (const TmuxPane &pane : *listed) {
        std::optional<QString> screen;
        const auto matches = [&pane, &screen](const Project &project) {
            return TmuxService::paneMatchesTool(project.tool, pane.command, pane.title,
                                                pane.paneTarget, &screen);
        };
        qsizetype owner = -1;
        for (qsizetype i = 0; i < projects.size() && owner < 0; ++i) {
            if (projects[i].tmuxSessionName == pane.sessionName && matches(projects[i]))
                owner = i;
        }
        for (qsizetype i = 0; everywhere && i < projects.size() && owner < 0; ++i) {
            if (projects[i].tool != CodingTool::generic && matches(projects[i]))
                owner = i;
        }
        if (owner >= 0)
            claimed.append(ClaimedPane{pane, owner, screen, QString(), std::nullopt});
    }
    captureAll(claimed, projects);
    return claimed;
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

// A line break at either end of a reply or input means "send it", which the Enter after the text
// does: kept, it would become a blank ("1 " no longer answers a menu on the digit) or an extra
// line.
QString withoutOuterLineBreaks(QString text) {
    const auto isBreak = [](QChar c) { return c == u'\n' || c == u'\r'; };
    while (!text.isEmpty() && isBreak(text.back()))
        text.chop(1);
    qsizetype leading = 0;
    while (leading < text.size() && isBreak(text[leading]))
        ++leading;
    return text.mid(leading);
}

// How many turns a scan starts before it lets the event loop run.
constexpr int turnsPerSlice = 8;

bool watchAllSessions() {
    return !Settings::contains(Settings::watchAllSessions) ||
           Settings::readBool(Settings::watchAllSessions);
}

} // namespace

// The turns one scan started and waits for.
struct AgentService::TurnGroup {
    int left = 0;
    bool waiting = false;
    QTimer done;
};

AgentService::AgentService(QObject *parent)
    : QObject(parent), m_client(new AgentClient(this)), m_newsClient(new AgentClient(this)) {}

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
    m_newsClient->cancelRequests();
}

QMap<QString, QString> AgentService::pendingQuestions() const {
    QMap<QString, QString> pending;
    for (const PaneState &pane : m_panes) {
        if (pane.pendingQuestion)
            pending.insert(pane.paneTarget, *pane.pendingQuestion);
    }
    return pending;
}

QMap<QString, QString> AgentService::sessions() const {
    QMap<QString, QString> sessions;
    for (const PaneState &pane : m_panes) {
        if (pane.serverSessionId)
            sessions.insert(pane.paneTarget, *pane.serverSessionId);
    }
    return sessions;
}

QStringList AgentService::panesOf(const QUuid &projectId) const {
    QStringList panes;
    for (const PaneState &pane : m_panes) {
        if (pane.projectId == projectId)
            panes << pane.paneTarget;
    }
    return panes;
}

void AgentService::forgetPane(QString paneTarget) {
    const auto it = m_panes.constFind(paneTarget);
    if (it == m_panes.cend())
        return;
    const PaneState gone = *it;
    m_panes.erase(it);
    retire(gone.serverSessionId, gone.pendingQuestion, true);
    saveState();
}

void AgentService::forgetSession(const QString &sessionName) {
    QStringList targets;
    for (const PaneState &pane : std::as_const(m_panes)) {
        if (pane.sessionName == sessionName)
            targets << pane.paneTarget;
    }
    for (const QString &target : std::as_const(targets))
        forgetPane(target);
}

void AgentService::noteLaunchedSession(const QString &sessionName) {
    m_launchedSessions.insert(sessionName, false);
}

void AgentService::start(const QString &serverURL, const QString &apiKey, const QString &label) {
    QString url = serverURL;
    if (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    m_client->setServerUrl(url);
    m_client->setApiKey(apiKey);
    m_newsClient->setServerUrl(url);
    m_newsClient->setApiKey(apiKey);
    m_agentLabel = label;
    if (!m_stateRestored)
        restoreState();
    const bool wasRunning = m_isRunning;
    m_isRunning = true;
    if (!wasRunning)
        Q_EMIT runningChanged(true);
    qCInfo(lcAgent, "Agent started (label: %s)", qUtf8Printable(label));
    runLoop();
    if (!m_watching)
        watchServer();
}

QCoro::Task<> AgentService::runLoop() {
    ++m_activeLoops;
    if (!m_syncRunning)
        syncInBackground();
    while (m_isRunning) {
        co_await scan();
        if (!m_isRunning)
            break;
        co_await pause(std::chrono::milliseconds(qint64(m_pollInterval * 1000)));
    }
    if (--m_activeLoops == 0 && m_backgroundTasks == 0)
        Q_EMIT loopFinished();
}

QCoro::Task<> AgentService::pause(std::chrono::milliseconds duration) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    m_pauses.append(&timer);
    timer.start(duration);
    co_await timer;
    m_pauses.removeOne(&timer);
}

QCoro::Task<> AgentService::watchServer() {
    m_watching = true;
    ++m_backgroundTasks;
    std::chrono::seconds retry = firstRetry;
    bool offered = false;
    std::optional<qint64> cursor;
    while (m_isRunning) {
        if (!offered) {
            const std::optional<QStringList> features = co_await m_newsClient->serverFeatures();
            if (features && !features->contains(QStringLiteral("agent-events"))) {
                qCDebug(lcAgent, "The server offers no agent events: answers wait for the scans");
                break;
            }
            offered = features.has_value();
        }
        // Without a cursor, a first answer at once gives one: from then on no event is missed,
        // and the scans can leave the fetching to the hold.
        std::optional<AgentWake> news;
        if (offered && m_isRunning)
            news = co_await m_newsClient->waitForNews(cursor, cursor ? newsHoldSeconds : 0);
        if (!news)
            m_heldSince.reset();
        else if (!m_heldSince)
            m_heldSince = Clock::now();
        if (!m_isRunning)
            break;
        if (!news) {
            // Dropped, refused or a server restarted without the feature: the scans carry on
            // alone until a later attempt holds again, asking what the server offers first.
            offered = false;
            co_await pause(retry);
            retry = std::min(retry * 2, longestRetry);
            continue;
        }
        retry = firstRetry;
        cursor = news->cursor;
        wake(*news);
    }
    m_heldSince.reset();
    m_watching = false;
    backgroundTaskEnded();
}

void AgentService::wake(const AgentWake &news) {
    QList<std::pair<QString, quint64>> due;
    for (PaneState &pane : m_panes) {
        if (!pane.serverSessionId || !news.sessions.contains(*pane.serverSessionId))
            continue;
        if (pane.turnRunning) {
            pane.turnAgain = true;
            continue;
        }
        pane.turnRunning = true;
        due.append({pane.paneTarget, pane.generation});
    }
    // Nobody waits for these turns as a scan waits for its own.
    for (const auto &[target, generation] : std::as_const(due))
        runTurn(target, generation, std::nullopt, true, std::make_shared<TurnGroup>());
    if (news.commands) {
        if (m_commandsRunning)
            m_commandsAgain = true;
        else
            pollCommandsInBackground();
    }
}

QCoro::Task<> AgentService::scan() {
    const QList<Project> projects = m_projectStore ? m_projectStore->projects() : QList<Project>();
    if (projects.isEmpty()) {
        qCDebug(lcAgent, "No projects configured");
        co_return;
    }
    const std::optional<QList<ClaimedPane>> claimed =
        co_await QtConcurrent::run(&claimPanes, projects, watchAllSessions());
    if (!claimed) {
        // A busy or killed tmux says nothing about the panes: read as "all gone", it would
        // forget every pane and expire every pending question. The next scan asks again.
        qCWarning(lcAgent, "Pane listing failed; panes kept as they were");
        startBackgroundWork(true);
        co_return;
    }
    const bool fetch = fetchesThisScan();

    // Each pane once, each turn a task of its own: one pane's slow request holds no other pane.
    auto group = std::make_shared<TurnGroup>();
    QSet<QString> present;
    QSet<QString> listedSessions;
    for (const ClaimedPane &claim : *claimed) {
        const TmuxPane &listed = claim.pane;
        const Project &owner = projects[claim.project];
        present.insert(listed.paneTarget);
        listedSessions.insert(listed.sessionName);
        auto it = m_panes.find(listed.paneTarget);
        if (it == m_panes.end()) {
            PaneState fresh;
            fresh.paneTarget = listed.paneTarget;
            fresh.title = listed.title;
            fresh.generation = ++m_generations;
            it = m_panes.insert(listed.paneTarget, fresh);
        } else if (it->restored) {
            it->title = listed.title;
        }
        it->projectId = owner.id;
        it->projectName = owner.name;
        it->tool = owner.tool;
        it->sessionName = listed.sessionName;
        if (!it->baseline) {
            if (const auto launched = m_launchedSessions.find(listed.sessionName);
                launched != m_launchedSessions.end()) {
                it->launchedHere = true;
                *launched = true;
            }
        }
        if (it->turnRunning)
            continue;
        it->turnRunning = true;
        ++group->left;
        runTurn(listed.paneTarget, it->generation,
                Capture{*claim.screen, claim.excerpt, claim.questionHash}, fetch, group);
        // A few turns at a time: each sends a request at once, and fifty in a row would hold the
        // main thread for longer than a frame.
        if (group->left % turnsPerSlice == 0)
            co_await QCoro::sleepFor(std::chrono::milliseconds(0));
    }
    if (group->left > 0) {
        group->waiting = true;
        group->done.setSingleShot(true);
        group->done.start(std::max(std::chrono::milliseconds(1000),
                                   std::chrono::milliseconds(qint64(m_pollInterval * 2000))));
        co_await group->done;
        group->waiting = false;
    }

    const QStringList monitored = m_panes.keys();
    for (const QString &target : monitored) {
        if (present.contains(target))
            continue;
        if (m_panes.value(target).serverSessionId)
            qCInfo(lcAgent, "Closed stale session for disappeared pane: %s",
                   qUtf8Printable(target));
        forgetPane(target);
    }
    // A launched session stays news until it has been seen and is gone again.
    m_launchedSessions.removeIf([&listedSessions](const QHash<QString, bool>::iterator &it) {
        return it.value() && !listedSessions.contains(it.key());
    });
    saveState();

    startBackgroundWork(fetch);
    if (onStateChanged)
        onStateChanged();
    Q_EMIT stateChanged();
}

QCoro::Task<> AgentService::runTurn(QString paneTarget, quint64 generation,
                                    std::optional<Capture> capture, bool fetch,
                                    std::shared_ptr<TurnGroup> group) {
    ++m_backgroundTasks;
    co_await paneTurn(paneTarget, generation, capture, fetch);
    PaneState *pane = paneOf(paneTarget, generation);
    while (pane && pane->turnAgain) {
        pane->turnAgain = false;
        co_await paneTurn(paneTarget, generation, std::nullopt, true);
        pane = paneOf(paneTarget, generation);
    }
    if (pane)
        pane->turnRunning = false;
    // A pending question's screen may have moved on; everything else a turn changes that the
    // file keeps was saved where it changed (a write per turn costs the main thread at 50 panes).
    if (pane && pane->pendingQuestion)
        saveState();
    if (--group->left == 0 && group->waiting)
        group->done.start(0);
    backgroundTaskEnded();
}

bool AgentService::fetchesThisScan() {
    const Clock::time_point now = Clock::now();
    ++m_scansSinceFetch;
    // A hold that came up after the last fetch says nothing of what arrived before it.
    const bool held = m_heldSince && m_lastFetch && *m_lastFetch >= *m_heldSince;
    if (held && m_scansSinceFetch < safetyFetchScans && now - *m_lastFetch < safetyFetchInterval)
        return false;
    m_lastFetch = now;
    m_scansSinceFetch = 0;
    return true;
}

void AgentService::startBackgroundWork(bool pollCommands) {
    if (pollCommands && !m_commandsRunning)
        pollCommandsInBackground();
    if (!m_syncRunning)
        syncInBackground();
}

QCoro::Task<> AgentService::pollCommandsInBackground() {
    m_commandsRunning = true;
    ++m_backgroundTasks;
    do {
        m_commandsAgain = false;
        co_await pollCommands();
    } while (m_commandsAgain);
    m_commandsRunning = false;
    backgroundTaskEnded();
}

void AgentService::syncProjectsInBackground() {
    if (m_syncRunning)
        m_syncAgain = true;
    else
        syncInBackground();
}

QCoro::Task<> AgentService::syncInBackground() {
    m_syncRunning = true;
    ++m_backgroundTasks;
    do {
        m_syncAgain = false;
        co_await syncProjects();
    } while (m_syncAgain);
    m_syncRunning = false;
    backgroundTaskEnded();
}

void AgentService::backgroundTaskEnded() {
    if (--m_backgroundTasks == 0 && m_activeLoops == 0)
        Q_EMIT loopFinished();
}

QCoro::Task<> AgentService::retire(std::optional<QString> sid, std::optional<QString> qid,
                                   bool closeSession) {
    if (!sid)
        co_return;
    ++m_backgroundTasks;
    if (qid)
        co_await m_client->expireQuestion(*sid, *qid);
    if (closeSession)
        co_await m_client->closeServerSession(*sid);
    backgroundTaskEnded();
}

PaneState *AgentService::paneOf(const QString &paneTarget, quint64 generation) {
    const auto it = m_panes.find(paneTarget);
    return it != m_panes.end() && it->generation == generation ? &*it : nullptr;
}

CodingTool AgentService::toolOf(const QString &paneTarget) const {
    return m_panes.value(paneTarget).tool;
}

QString AgentService::pendingQuestionOf(const QString &paneTarget) const {
    return m_panes.value(paneTarget).pendingQuestion.value_or(QString());
}

QString AgentService::baselineOf(const QString &paneTarget) const {
    return m_panes.value(paneTarget).baseline.value_or(QString());
}

QCoro::Task<> AgentService::paneTurn(QString target, quint64 generation,
                                     std::optional<Capture> given, bool fetch) {
    // The scan's capture, or one of the turn's own. (No co_await inside a conditional expression,
    // and no lambda temporary inside one: GCC 12 destroys their temporaries twice.)
    Capture taken;
    if (given) {
        taken = *given;
    } else {
        const auto take = [target, tool = toolOf(target)] {
            const QString screen = TmuxService::capturePane(target);
            return Capture{screen, excerptOf(screen, tool), questionHashOf(screen, tool)};
        };
        taken = co_await QtConcurrent::run(take);
    }
    const QString capture = taken.screen;
    const QString excerpt = taken.excerpt;
    if (capture.isEmpty())
        co_return;
    PaneState *pane = paneOf(target, generation);
    if (!pane)
        co_return;
    if (pane->restored) {
        pane->restored = false;
        if (pane->pendingQuestion)
            co_await settleRestoredQuestion(target, generation, capture);
    }
    const std::optional<QString> sid = co_await ensureServerSession(target);
    if (!sid || !paneOf(target, generation))
        co_return;

    pane = paneOf(target, generation);
    if (!pane)
        co_return;
    if (pane->lastStreamed != excerpt) {
        pane->lastStreamed = excerpt;
        co_await m_client->streamContent(*sid, excerpt);
    }

    if (fetch)
        co_await deliverRemoteInputs(target, *sid);
    if (paneOf(target, generation) && !pendingQuestionOf(target).isEmpty()) {
        if (fetch)
            co_await resolvePendingQuestion(target, *sid, capture);
        else
            co_await expireIfMoved(target, *sid, capture);
    }

    pane = paneOf(target, generation);
    if (!pane)
        co_return;
    const Observation seen =
        pane->observe(capture, taken.questionHash, Clock::now(), m_idleThreshold, m_postedHashes);
    switch (seen.kind) {
    case Observation::Kind::firstSight:
        qCDebug(lcAgent, "First scan for pane %s, seeding baseline", qUtf8Printable(target));
        break;
    case Observation::Kind::changed:
        qCDebug(lcAgent, "Content changed, resetting idle timer");
        break;
    case Observation::Kind::waiting:
        break;
    case Observation::Kind::ask:
        co_await postQuestion(target, generation, *sid, capture, seen.hash);
        break;
    }
}

QCoro::Task<> AgentService::settleRestoredQuestion(QString target, quint64 generation,
                                                   QString capture) {
    PaneState *pane = paneOf(target, generation);
    if (!pane || !pane->pendingQuestion)
        co_return;
    if (ScreenAnalysis::contentHash(capture.trimmed()) == pane->restoredScreenHash) {
        // Still asking: this screen is the baseline, so the reply is handled as if the engine had
        // never stopped.
        const Clock::time_point now = Clock::now();
        pane->baseline = capture;
        pane->idleSince = now;
        if (const auto key = ScreenAnalysis::questionKey(capture, pane->tool))
            m_postedHashes.insert(ScreenAnalysis::contentHash(*key), now);
        qCDebug(lcAgent, "Pane %s still shows its pending question", qUtf8Printable(target));
        co_return;
    }
    const QString qid = *pane->pendingQuestion;
    const std::optional<QString> sid = pane->serverSessionId;
    endQuestion(target);
    if (sid)
        co_await m_client->expireQuestion(*sid, qid);
    qCInfo(lcAgent, "Question expired — pane changed");
}

QCoro::Task<> AgentService::postQuestion(QString target, quint64 generation, QString sid,
                                         QString capture, QString hash) {
    const CodingTool tool = toolOf(target);
    const int contextLines = m_contextLines;
    const auto questionTexts = [capture, tool, contextLines] {
        return QuestionTexts{capQuestionText(ScreenAnalysis::questionText(capture)),
                             ScreenAnalysis::cleanForDisplay(
                                 ScreenAnalysis::recentLines(capture, contextLines, tool))};
    };
    const QuestionTexts texts = co_await QtConcurrent::run(questionTexts);
    const std::optional<QString> qid =
        co_await m_client->postQuestion(sid, texts.context, texts.question);
    if (!qid)
        co_return;

    m_postedHashes.insert(hash, Clock::now());
    PaneState *pane = paneOf(target, generation);
    if (!pane) {
        // Forgotten while the question was on its way: nobody will answer it here.
        retire(sid, qid, false);
        co_return;
    }
    pane->pendingQuestion = qid;
    pane->status = SessionStatus::waitingForInput;
    saveState();
    qCInfo(lcAgent, "Posted question: %s", qUtf8Printable(firstCharacters(texts.question, 80)));
    Q_EMIT questionPosted(target, texts.question);
    if (m_alertSink && Settings::readBool(Settings::notificationSound))
        m_alertSink->playAlertSound();
}

QString AgentService::capQuestionText(const QString &text) {
    if (text.size() <= maxQuestionLength)
        return text;
    // Room for the ellipsis, and never between the halves of a character.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(maxQuestionLength - 1);
    if (!finder.isAtBoundary())
        finder.toPreviousBoundary();
    return text.left(finder.position()) + QChar(0x2026);
}

QCoro::Task<std::optional<QString>> AgentService::ensureServerSession(QString paneTarget) {
    const auto known = m_panes.constFind(paneTarget);
    if (known == m_panes.cend())
        co_return std::nullopt;
    if (known->serverSessionId)
        co_return known->serverSessionId;
    const quint64 generation = known->generation;
    std::optional<QString> projectName;
    if (!known->projectId.isNull())
        projectName = known->projectName;
    const std::optional<QString> sid =
        co_await m_client->createServerSession(m_agentLabel, projectName, paneTarget);
    if (!sid)
        co_return std::nullopt;
    PaneState *pane = paneOf(paneTarget, generation);
    if (!pane) {
        retire(sid, std::nullopt, true);
        co_return std::nullopt;
    }
    pane->serverSessionId = sid;
    saveState();
    co_return sid;
}

void AgentService::restoreState() {
    m_stateRestored = true;
    for (const AgentStateFile::Entry &entry : m_stateFile.load(serverURL())) {
        if (m_panes.contains(entry.paneTarget))
            continue;
        PaneState pane;
        pane.paneTarget = entry.paneTarget;
        pane.serverSessionId = entry.serverSessionId;
        pane.pendingQuestion = entry.questionId;
        pane.restoredScreenHash = entry.screenHash;
        pane.status = entry.questionId ? SessionStatus::waitingForInput : SessionStatus::active;
        pane.restored = true;
        pane.generation = ++m_generations;
        m_panes.insert(entry.paneTarget, pane);
    }
}

void AgentService::saveState() {
    // Before the first start the file still holds what an earlier run left.
    if (!m_stateRestored)
        return;
    QList<AgentStateFile::Entry> entries;
    for (const PaneState &pane : std::as_const(m_panes)) {
        if (!pane.serverSessionId)
            continue;
        QString screenHash;
        if (pane.pendingQuestion)
            screenHash =
                pane.restored
                    ? pane.restoredScreenHash
                    : ScreenAnalysis::contentHash(pane.baseline.value_or(QString()).trimmed());
        entries.append(AgentStateFile::Entry{pane.paneTarget, *pane.serverSessionId,
                                             pane.pendingQuestion, screenHash});
    }
    m_stateFile.save(serverURL(), entries);
}

QCoro::Task<> AgentService::deliverRemoteInputs(QString paneTarget, QString sid) {
    const QJsonArray inputs = co_await m_client->fetchInputs(sid);
    for (const QJsonValue &element : inputs) {
        const QJsonObject input = element.toObject();
        const QJsonValue id = input.value(QStringLiteral("id"));
        const QJsonValue key = input.value(QStringLiteral("key"));
        const QJsonValue text = input.value(QStringLiteral("input_text"));
        const bool isKey = !key.isUndefined() && !key.isNull();
        if (!id.isString() || (!isKey && !text.isString()))
            continue;
        const QString shown = ControlText::escaped(isKey ? key.toString() : text.toString());
        const std::optional<QString> tmuxKey =
            isKey ? InputKey::tmuxName(key.toString()) : std::nullopt;
        const QString given = isKey ? QString() : withoutOuterLineBreaks(text.toString());
        const QString clean = ControlText::withoutControls(given);
        // Neither can ever be typed: acknowledged, so the server stops offering them. Typing an
        // emptied text would press Enter alone, an answer nobody sent.
        if ((isKey && !tmuxKey) || (!isKey && clean.isEmpty() && !given.isEmpty())) {
            co_await m_client->acknowledgeInput(sid, id.toString());
            qCWarning(lcAgent, "Input not typed (%s): %s",
                      isKey ? "no such key" : "nothing but control characters",
                      qUtf8Printable(shown));
            continue;
        }
        bool typed = false;
        if (isKey)
            typed = co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget, *tmuxKey);
        else
            typed = co_await QtConcurrent::run(&TmuxService::sendText, paneTarget, clean);
        if (!typed) {
            // This one and the ones after it come again with the next fetch, still in order.
            qCWarning(lcAgent, "Input not typed into %s, tmux failed: left unacknowledged",
                      qUtf8Printable(paneTarget));
            co_return;
        }
        co_await m_client->acknowledgeInput(sid, id.toString());
        if (isKey)
            qCInfo(lcAgent, "Injected key: %s", qUtf8Printable(shown));
        else
            qCInfo(lcAgent, "Injected input: %s",
                   qUtf8Printable(ControlText::escaped(firstCharacters(clean, 50))));
    }
}

void AgentService::endQuestion(const QString &paneTarget) {
    if (const auto pane = m_panes.find(paneTarget); pane != m_panes.end()) {
        pane->pendingQuestion.reset();
        pane->status = SessionStatus::active;
    }
    saveState();
}

QCoro::Task<> AgentService::resolvePendingQuestion(QString paneTarget, QString sid,
                                                   QString screen) {
    const QString qid = pendingQuestionOf(paneTarget);
    const std::optional<QString> reply = co_await m_client->fetchReply(sid, qid);
    if (reply) {
        const QString now = co_await QtConcurrent::run(&TmuxService::capturePane, paneTarget);
        // A reply meant for a screen that has since moved on would answer something else.
        if (now.isEmpty() || now.trimmed() != screen.trimmed()) {
            endQuestion(paneTarget);
            co_return;
        }
        // An answer is one line of text: its line breaks must not submit early, and nothing in
        // it may act as a key. Only the single Tab is a key on purpose.
        const QString given = withoutOuterLineBreaks(*reply);
        const QString line =
            *reply == QLatin1String("\t") ? *reply : ControlText::singleLine(given);
        if (line.isEmpty() && !given.isEmpty()) {
            // Typing nothing would press Enter alone: a default answer the user never chose.
            qCWarning(lcAgent, "Reply not typed (nothing but control characters): %s",
                      qUtf8Printable(ControlText::escaped(*reply)));
            endQuestion(paneTarget);
            co_return;
        }
        const bool typed = co_await typeReply(paneTarget, line, now);
        if (!typed) {
            qCWarning(lcAgent, "Reply not typed into %s, tmux failed: the question stays pending",
                      qUtf8Printable(paneTarget));
            co_return;
        }
        qCInfo(lcAgent, "Injected reply: %s", qUtf8Printable(ControlText::escaped(line)));
        endQuestion(paneTarget);
        co_return;
    }
    co_await expireIfMoved(paneTarget, sid, screen);
}

QCoro::Task<> AgentService::expireIfMoved(QString paneTarget, QString sid, QString screen) {
    const QString qid = pendingQuestionOf(paneTarget);
    if (qid.isEmpty())
        co_return;
    const QString previous = baselineOf(paneTarget);
    const bool stale = previous.isEmpty() ||
                       ScreenAnalysis::contentHash(screen) != ScreenAnalysis::contentHash(previous);
    if (!stale)
        co_return;
    co_await m_client->expireQuestion(sid, qid);
    endQuestion(paneTarget);
    qCInfo(lcAgent, "Question expired — pane changed");
}

QCoro::Task<bool> AgentService::typeReply(QString paneTarget, QString text, QString screen) {
    if (text == QLatin1String("\t")) {
        if (!co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget, QStringLiteral("Tab")))
            co_return false;
        if (!co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget, QStringLiteral("Enter")))
            co_return false;
        qCInfo(lcAgent, "Reply typed as Tab, then Enter");
        co_return true;
    }
    text = ControlText::singleLine(withoutOuterLineBreaks(text));
    if (text.size() == 1 && text.front().isDigit()) {
        if (co_await MenuAnswer::choose(paneTarget, text.front().digitValue(), screen))
            co_return true;
    }
    // Numbered menus take a digit (or an option's letter) on the key alone; an Enter after it
    // would land on whatever screen comes next. Press it only if the question is still there.
    if (text.size() == 1 && ScreenAnalysis::endsInNumberedMenu(screen)) {
        const CodingTool tool = toolOf(paneTarget);
        const std::optional<QString> before = ScreenAnalysis::questionKey(screen, tool);
        if (!co_await QtConcurrent::run(&TmuxService::sendLiteralKey, paneTarget, text))
            co_return false;
        co_await QCoro::sleepFor(menuSettleTime);
        const QString after = co_await QtConcurrent::run(&TmuxService::capturePane, paneTarget);
        const std::optional<QString> afterKey = ScreenAnalysis::questionKey(after, tool);
        if (before && afterKey &&
            ScreenAnalysis::contentHash(*before) == ScreenAnalysis::contentHash(*afterKey)) {
            if (!co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget,
                                            QStringLiteral("Enter")))
                co_return false;
            qCInfo(lcAgent,
                   "Reply typed as a menu key, then Enter: the question was still on screen");
        } else {
            qCInfo(lcAgent, "Reply typed as a menu key alone: the menu answered on it");
        }
        co_return true;
    }
    if (!co_await QtConcurrent::run(&TmuxService::sendText, paneTarget, text))
        co_return false;
    qCInfo(lcAgent, "Reply typed as text, then Enter");
    co_return true;
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
