#pragma once

#include "server/Caller.h"
#include "server/EventStream.h"

#include <QByteArray>
#include <QList>
#include <chrono>

namespace quillet {

struct ServerContext;

// One phone's live event stream: every event of its user after `after`, as server-sent events
// ("id:", "event:", "data:"), then each new one as it is stored. A phone that reconnects with
// the last id it saw (Last-Event-ID) misses nothing. A comment line every `heartbeat` keeps
// proxies from closing the stream and shows a dead peer; the stream ends when the device is
// unpaired or the server stops. When events after the phone's position may be gone, the
// greeting says "reload": the phone reads its lists again instead of trusting the replay.
class EventFeed : public EventStream {
public:
    EventFeed(ServerContext &context, Caller caller, qint64 after, bool reload = false,
              std::chrono::milliseconds heartbeat = std::chrono::seconds(15));
    ~EventFeed() override;

    asio::awaitable<std::optional<QByteArray>> next() override;

private:
    ServerContext &m_context;
    Caller m_caller;
    qint64 m_after;
    std::chrono::milliseconds m_heartbeat;
    bool m_reload;
    bool m_greeted = false;
};

} // namespace quillet
