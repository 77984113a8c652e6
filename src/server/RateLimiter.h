#pragma once

#include <QHash>
#include <QString>
#include <chrono>
#include <deque>

namespace quillet {

// Counts events per key over a sliding window: "at most `limit` in `window`". Network thread
// only; keys whose window emptied are forgotten.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    RateLimiter(int limit, Clock::duration window) : m_limit(limit), m_window(window) {}

    bool exhausted(const QString &key, Clock::time_point now = Clock::now());
    void record(const QString &key, Clock::time_point now = Clock::now());
    // Seconds until the key may try again, at least 1.
    int retryAfter(const QString &key, Clock::time_point now = Clock::now());

private:
    void expire(const QString &key, Clock::time_point now);
    int m_limit;
    Clock::duration m_window;
    QHash<QString, std::deque<Clock::time_point>> m_events;
};

} // namespace quillet
