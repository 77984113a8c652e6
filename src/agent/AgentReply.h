#pragma once

#include <QByteArray>
#include <optional>

namespace quillet {

// What one agent request gave: the body (absent after a transport failure) and the HTTP status
// (0 when there was no HTTP answer).
struct AgentReply {
    std::optional<QByteArray> data;
    int status = 0;
};

} // namespace quillet
