#pragma once

namespace quillet {

// `idle` exists for readers of the status; the monitor itself never assigns it.
enum class SessionStatus { active, waitingForInput, idle };

} // namespace quillet
