#include "server/EventHub.h"

namespace quillet {

asio::awaitable<bool> EventHub::wait(const QString &userId, std::chrono::milliseconds timeout) {
    if (m_closed)
        co_return false;
    asio::steady_timer timer(co_await asio::this_coro::executor, timeout);
    Waiter waiter{&timer};
    std::list<Waiter *> &list = m_waiters[userId];
    list.push_back(&waiter);
    const auto position = std::prev(list.end());
    ++m_waiterCount;
    boost::system::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    --m_waiterCount;
    auto found = m_waiters.find(userId);
    if (found != m_waiters.end()) {
        found->erase(position);
        if (found->empty())
            m_waiters.erase(found);
    }
    co_return waiter.woken;
}

void EventHub::notify(const QString &userId) {
    wake(userId);
    if (m_announce)
        m_announce(userId);
}

void EventHub::wake(const QString &userId) {
    ++m_notifications;
    const auto found = m_waiters.constFind(userId);
    if (found == m_waiters.constEnd())
        return;
    for (Waiter *waiter : *found) {
        waiter->woken = true;
        waiter->timer->cancel();
    }
}

void EventHub::wakeAll() {
    ++m_notifications;
    for (const auto &list : std::as_const(m_waiters)) {
        for (Waiter *waiter : list) {
            waiter->woken = true;
            waiter->timer->cancel();
        }
    }
}

void EventHub::close() {
    m_closed = true;
    for (const auto &list : std::as_const(m_waiters))
        for (Waiter *waiter : list)
            waiter->timer->cancel();
}

} // namespace quillet
