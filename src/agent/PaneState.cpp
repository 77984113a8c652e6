#include "agent/PaneState.h"

#include "agent/ScreenAnalysis.h"

namespace quillet {

Observation PaneState::observe(const QString &capture, Clock::time_point now, double idleThreshold,
                               QMap<QString, Clock::time_point> &postedHashes) {
    using Kind = Observation::Kind;
    if (!baseline) {
        baseline = capture;
        idleSince = now;
        // A question already on screen when monitoring begins is not news, unless this process
        // started the program that asks it.
        if (!launchedHere) {
            if (const auto key = ScreenAnalysis::questionKey(capture, tool))
                postedHashes.insert(ScreenAnalysis::contentHash(*key), now);
        }
        return {Kind::firstSight, {}};
    }

    const bool changed = capture.trimmed() != baseline->trimmed();
    if (changed) {
        baseline = capture;
        idleSince = now;
        postedHashes.clear();
        return {pendingQuestion ? Kind::waiting : Kind::changed, {}};
    }
    if (pendingQuestion)
        return {};

    if (!idleSince)
        idleSince = now;
    if (now - *idleSince < std::chrono::duration<double>(idleThreshold))
        return {};
    const std::optional<QString> key = ScreenAnalysis::questionKey(capture, tool);
    if (!key || key->isEmpty())
        return {};
    const QString hash = ScreenAnalysis::contentHash(*key);
    if (postedHashes.contains(hash))
        return {};
    return {Kind::ask, hash};
}

} // namespace quillet
