#pragma once

#include "server/Asio.h"

#include <QByteArray>
#include <optional>

namespace quillet {

// A response body written piece by piece as events happen (text/event-stream). The network
// layer writes each piece as it comes and ends the response when there is none.
class EventStream {
public:
    virtual ~EventStream() = default;
    // The next piece to send; nothing ends the stream.
    virtual asio::awaitable<std::optional<QByteArray>> next() = 0;
};

} // namespace quillet
