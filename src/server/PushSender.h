#pragma once

#include "server/Asio.h"
#include "server/HttpsClient.h"
#include "server/PushHostList.h"
#include "server/VapidKeys.h"

#include <QJsonObject>
#include <QString>
#include <deque>
#include <list>
#include <optional>

namespace quillet {

class Store;
struct ServerOptions;

// Pages a user's phones when a question is posted: one Web Push message per subscription
// (encrypted for it, signed with the server's VAPID key), sent from the network's io_context
// after the request that posted the question has been answered. A few at a time; a push
// service that is slow or down delays other pushes at most, never a request. Subscriptions
// that the push service calls gone (404, 410) are dropped; a busy one (429, 5xx) gets one
// more try.
class PushSender {
public:
    // Loads the VAPID key pair from the store, making it the first time (every instance on one
    // database shares it).
    PushSender(asio::io_context &io, Store &store, const ServerOptions &options);

    // Why phones get no notifications from this server; empty when they do.
    const QString &offReason() const { return m_offReason; }
    // The key browsers subscribe with; empty when push is off.
    QString publicKey() const;
    const PushHostList &hosts() const { return m_hosts; }

    // Queues a push to each of the user's subscriptions and returns at once.
    void questionPosted(const QString &userId, const QJsonObject &question);
    // Ends pushes in flight and drops queued ones (shutdown).
    void stop();

    // The plaintext of a question's push: its ids, where it is and its text, the text cut (with
    // an ellipsis) so that the whole fits one push message.
    static QByteArray payload(const QJsonObject &question);

    static constexpr int maxConcurrentSends = 4;
    static constexpr int maxQueuedSends = 1000;

private:
    struct Job {
        QString subscriptionId;
        QUrl endpoint;
        QByteArray p256dh;
        QByteArray auth;
        QByteArray payload;
        QByteArray topic;
        bool retried = false;
    };
    asio::awaitable<void> fanOut(QString userId, QByteArray payload, QByteArray topic);
    void enqueue(Job job);
    asio::awaitable<void> work();
    asio::awaitable<void> send(Job job);
    asio::awaitable<void> retryLater(Job job, std::chrono::seconds delay);

    asio::io_context &m_io;
    Store &m_store;
    QString m_subject;
    PushHostList m_hosts;
    std::optional<VapidKeys> m_keys;
    QString m_offReason;
    HttpsClient m_client;
    std::deque<Job> m_queue;
    int m_workers = 0;
    std::list<asio::steady_timer *> m_retries;
    bool m_stopped = false;
};

} // namespace quillet
