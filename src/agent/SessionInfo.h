#pragma once

#include <QString>
#include <optional>

namespace quillet {

// `idle` exists for readers of the status; the monitor itself never assigns it.
enum class SessionStatus { active, waitingForInput, idle };

// The engine's record of one monitored pane.
struct SessionInfo {
    QString paneTarget;
    // As reported when the pane was first seen; not updated later.
    QString title;
    std::optional<QString> serverSessionId;
    SessionStatus status = SessionStatus::active;

    bool operator==(const SessionInfo &) const = default;
};

} // namespace quillet
