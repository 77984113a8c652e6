#include "server/RateLimiter.h"

namespace quillet {

void RateLimiter::expire(const QString &key, Clock::time_point now) {
    auto found = m_events.find(key);
    if (found == m_events.end())
        return;
    while (!found->empty() && found->front() + m_window <= now)
        found->pop_front();
    if (found->empty())
        m_events.erase(found);
}

bool RateLimiter::exhausted(const QString &key, Clock::time_point now) {
    expire(key, now);
    return m_events.value(key).size() >= std::size_t(m_limit);
}

void RateLimiter::record(const QString &key, Clock::time_point now) {
    expire(key, now);
    m_events[key].push_back(now);
}

int RateLimiter::retryAfter(const QString &key, Clock::time_point now) {
    expire(key, now);
    const auto found = m_events.constFind(key);
    if (found == m_events.constEnd() || found->empty())
        return 1;
    const auto wait =
        std::chrono::duration_cast<std::chrono::seconds>(found->front() + m_window - now);
    return std::max<int>(1, int(wait.count()));
}

} // namespace quillet
