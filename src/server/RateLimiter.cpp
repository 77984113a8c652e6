#include "server/RateLimiter.h"

#include "server/Database.h"
#include "server/Store.h"

namespace quillet {

asio::awaitable<int> RateLimiter::retryAfter(const QString &key) {
    const auto wait = [bucket = m_bucket, key, limit = m_limit,
                       window = m_window.count()](Database &database) {
        return database.throttleWait(bucket, key, limit, window);
    };
    const qint64 ms = co_await m_store.run<qint64>(wait);
    co_return ms == 0 ? 0 : int(std::max<qint64>(1, (ms + 999) / 1000));
}

asio::awaitable<void> RateLimiter::record(const QString &key) {
    const auto note = [bucket = m_bucket, key, window = m_window.count()](Database &database) {
        database.recordAttempt(bucket, key, window);
        return true;
    };
    co_await m_store.run<bool>(note);
}

} // namespace quillet
