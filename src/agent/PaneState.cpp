#include "agent/PaneState.h"

namespace quillet {

Observation PaneState::observe(const QString &capture, const std::optional<QString> &questionHash,
                               Clock::time_point now, double idleThreshold,
                               QMap<QString, Clock::time_point> &postedHashes) {
    using Kind = Observation::Kind;
    if (!baseline) {
        baseline = capture;
        idleSince = now;
        // A question already on screen when monitoring begins is not news, unless this process
        // started the program that asks it.
        if (!launchedHere && questionHash)
            postedHashes.insert(*questionHash, now);
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
    if (!questionHash || postedHashes.contains(*questionHash))
        return {};
    return {Kind::ask, *questionHash};
}

} // namespace quillet
