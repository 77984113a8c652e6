#pragma once

#include <QSet>
#include <QString>

namespace quillet {

// What one held events request brought: where the server's log was read up to, and what the
// engine should act on at once instead of at its next scan.
struct AgentWake {
    qint64 cursor = 0;
    // Server sessions with a new reply or input.
    QSet<QString> sessions;
    // The phone queued a command.
    bool commands = false;
};

} // namespace quillet
