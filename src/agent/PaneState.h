#pragma once

#include "agent/SessionStatus.h"
#include "projects/CodingTool.h"

#include <QMap>
#include <QString>
#include <QUuid>
#include <chrono>
#include <optional>

namespace quillet {

// What the monitor should do after looking at one capture of a pane.
struct Observation {
    enum class Kind {
        firstSight, // baseline seeded
        changed,    // the screen moved: baseline and idle timer reset
        waiting,    // nothing to do yet (still settling, a question pending, no key, or posted)
        ask,        // still long enough on a question not yet posted: post it
    };
    Kind kind = Kind::waiting;
    // With `ask`: the digest of the question key.
    QString hash;
};

// Everything the engine knows of one monitored pane. One record per pane, so forgetting a pane is
// one erase and nothing of it can linger in another table.
struct PaneState {
    using Clock = std::chrono::steady_clock;

    QString paneTarget;
    // As reported when the pane was first listed; not updated later.
    QString title;
    // The project whose listing claimed the pane in the latest scan, and that listing's tool.
    QUuid projectId;
    QString projectName;
    CodingTool tool = CodingTool::generic;
    // The tmux session the pane lives in, as listed (not parsed out of the target).
    QString sessionName;
    std::optional<QString> serverSessionId;
    SessionStatus status = SessionStatus::active;
    // The posted question waiting for its reply.
    std::optional<QString> pendingQuestion;
    // The screen when it last changed (untrimmed), and when that was; measured on the monotonic
    // clock, so a change of the wall clock cannot post or hold a question.
    std::optional<QString> baseline;
    std::optional<Clock::time_point> idleSince;
    // The last excerpt streamed to the server.
    std::optional<QString> lastStreamed;

    // Read back from the state file and not yet seen by this process; with a pending question,
    // the digest of the screen it was asked on, by which the same question is recognised.
    bool restored = false;
    QString restoredScreenHash;
    // The pane appeared in a session this process launched: what it shows at first sight is news.
    bool launchedHere = false;
    // A turn of this pane is in progress; the scan does not start a second one.
    bool turnRunning = false;
    // The server had news for the pane while its turn ran (which may have looked too early): the
    // turn runs once more.
    bool turnAgain = false;
    // Tells this record from a later one of the same target (a pane forgotten and seen again).
    quint64 generation = 0;

    // The monitor's decision for a capture and the digest of the question it asks (if any),
    // without tmux or network: first sight seeds the baseline (and, unless the pane is news,
    // marks its question as already posted), a changed screen resets the baseline and empties
    // `postedHashes` (shared by all panes), and a screen still for `idleThreshold` seconds on a
    // question whose digest is not in `postedHashes` asks. With a question pending only the
    // baseline is tracked.
    Observation observe(const QString &capture, const std::optional<QString> &questionHash,
                        Clock::time_point now, double idleThreshold,
                        QMap<QString, Clock::time_point> &postedHashes);
};

} // namespace quillet
