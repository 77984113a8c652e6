#pragma once

#include "server/Asio.h"

#include <QString>
#include <chrono>

namespace quillet {

class Store;

// "At most `limit` attempts per key in `window`", counted in the database so that every
// instance on it enforces one limit (a guesser spread over the instances behind a load
// balancer meets the same wall). Network thread only.
class RateLimiter {
public:
    RateLimiter(Store &store, QString bucket, int limit, std::chrono::milliseconds window)
        : m_store(store), m_bucket(std::move(bucket)), m_limit(limit), m_window(window) {}

    // Seconds until `key` may try again (at least 1), or 0 when it may now.
    asio::awaitable<int> retryAfter(const QString &key);
    asio::awaitable<void> record(const QString &key);

private:
    Store &m_store;
    QString m_bucket;
    int m_limit;
    std::chrono::milliseconds m_window;
};

} // namespace quillet
