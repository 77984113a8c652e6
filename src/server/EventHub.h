#pragma once

#include "server/Asio.h"

#include <QHash>
#include <QString>
#include <chrono>
#include <functional>
#include <list>

namespace quillet {

// Wakes whatever waits on a user's state: held reply requests and open event streams. The
// state itself is in the database; a waiter that wakes reads it again, so a wake-up is a hint,
// never a message that could be lost. Lives on the network's thread only.
class EventHub {
public:
    // Waits until `notify(userId)` or `timeout`, whichever comes first; answers whether it was
    // woken. `closed()` wakes every waiter for good (shutdown).
    asio::awaitable<bool> wait(const QString &userId, std::chrono::milliseconds timeout);
    // Wakes this instance's waiters for `userId` and tells the other instances, through
    // `announceWith`'s function, to wake theirs.
    void notify(const QString &userId);
    // Wakes this instance's waiters only: for news that came from another instance.
    void wake(const QString &userId);
    // Wakes every waiter of this instance, whoever it waits for: news may have been missed.
    void wakeAll();
    void announceWith(std::function<void(const QString &userId)> announce) {
        m_announce = std::move(announce);
    }
    // Ends every wait at once; later waits return at once.
    void close();
    bool isClosed() const { return m_closed; }
    int waiterCount() const { return m_waiterCount; }
    // Counts every wake-up, from here or another instance: a handler that reads the database and
    // then waits compares it before waiting, so a wake-up that came while it read is not slept
    // through.
    quint64 notifications() const { return m_notifications; }

private:
    struct Waiter {
        asio::steady_timer *timer;
        bool woken = false;
    };
    QHash<QString, std::list<Waiter *>> m_waiters;
    std::function<void(const QString &)> m_announce;
    bool m_closed = false;
    int m_waiterCount = 0;
    quint64 m_notifications = 0;
};

} // namespace quillet
