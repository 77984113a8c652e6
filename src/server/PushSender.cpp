#include "server/PushSender.h"

#include "common/Base64Url.h"
#include "server/Database.h"
#include "server/ServerOptions.h"
#include "server/Store.h"
#include "server/WebPushMessage.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRegularExpression>

Q_LOGGING_CATEGORY(lcPush, "lorvo.fennick.quillet-server.Push")

namespace quillet {

namespace {

const QString vapidKeySetting = QStringLiteral("vapid_private_key");
// Long enough for a phone that is off for lunch, short enough that nobody is paged about a
// question that has long been answered at the keyboard.
const QByteArray timeToLive = QByteArrayLiteral("3600");
constexpr auto defaultRetryDelay = std::chrono::seconds(5);
constexpr auto maxRetryDelay = std::chrono::seconds(60);

// Push services let a newer message with the same topic replace one not yet delivered; a
// topic is at most 32 characters of the base64url alphabet.
QByteArray topicOf(const QString &questionId) {
    static const QRegularExpression usable(QStringLiteral("^[A-Za-z0-9_-]{1,32}$"));
    QString topic = questionId;
    topic.remove(QLatin1Char('-'));
    if (usable.match(topic).hasMatch())
        return topic.toLatin1();
    return Base64Url::encode(
               QCryptographicHash::hash(questionId.toUtf8(), QCryptographicHash::Sha256))
        .left(32)
        .toLatin1();
}

} // namespace

PushSender::PushSender(asio::io_context &io, Store &store, const ServerOptions &options)
    : m_io(io), m_store(store), m_subject(options.vapidSubject), m_hosts(options.pushHosts),
      m_client(HttpsClient::Timeouts{}) {
    m_offReason = options.pushOffReason();
    const auto fresh = VapidKeys::generate();
    if (!fresh)
        throw std::runtime_error("cannot make a VAPID key pair");
    const QString proposed = fresh->toStored();
    const auto keep = [proposed](Database &database) {
        return database.keepSetting(vapidKeySetting, proposed);
    };
    m_keys = VapidKeys::fromStored(m_store.runNow<QString>(keep));
    if (!m_keys)
        throw std::runtime_error("the database holds a VAPID key that is not one");
}

QString PushSender::publicKey() const {
    return m_offReason.isEmpty() ? m_keys->publicKey() : QString();
}

QByteArray PushSender::payload(const QJsonObject &question) {
    const QString text = question.value(QStringLiteral("question_text")).toString();
    QJsonObject message{
        {QStringLiteral("type"), QStringLiteral("question.posted")},
        {QStringLiteral("question_id"), question.value(QStringLiteral("id"))},
        {QStringLiteral("session_id"), question.value(QStringLiteral("session_id"))},
        {QStringLiteral("project_name"), question.value(QStringLiteral("project_name"))},
        {QStringLiteral("pane_target"), question.value(QStringLiteral("pane_target"))},
        {QStringLiteral("question_text"), text}};
    QByteArray json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    // JSON escapes make a character cost 1 to 6 bytes: cut at least a sixth of the excess in
    // characters each round, which never cuts much more than needed.
    qsizetype keep = text.size();
    while (json.size() > WebPushMessage::maxPlaintextSize && keep > 0) {
        const qsizetype excess = json.size() - WebPushMessage::maxPlaintextSize;
        keep = std::max<qsizetype>(0, keep - std::max<qsizetype>(1, excess / 6));
        if (keep > 0 && text.at(keep - 1).isHighSurrogate())
            --keep;
        message.insert(QStringLiteral("question_text"), text.left(keep) + QChar(0x2026));
        json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    }
    return json;
}

void PushSender::questionPosted(const QString &userId, const QJsonObject &question) {
    if (!m_offReason.isEmpty() || m_stopped)
        return;
    asio::co_spawn(
        m_io,
        fanOut(userId, payload(question), topicOf(question.value(QStringLiteral("id")).toString())),
        asio::detached);
}

asio::awaitable<void> PushSender::fanOut(QString userId, QByteArray payload, QByteArray topic) {
    const auto list = [userId](Database &database) { return database.pushSubscriptions(userId); };
    QJsonArray subscriptions;
    try {
        subscriptions = co_await m_store.run<QJsonArray>(list);
    } catch (const std::exception &error) {
        qCWarning(lcPush, "cannot read the push subscriptions: %s", error.what());
        co_return;
    }
    for (const QJsonValue &value : std::as_const(subscriptions)) {
        const QJsonObject row = value.toObject();
        Job job;
        job.subscriptionId = row.value(QStringLiteral("id")).toString();
        job.endpoint = QUrl(row.value(QStringLiteral("endpoint")).toString());
        job.p256dh = Base64Url::decode(row.value(QStringLiteral("p256dh")).toString())
                         .value_or(QByteArray());
        job.auth =
            Base64Url::decode(row.value(QStringLiteral("auth")).toString()).value_or(QByteArray());
        job.payload = payload;
        job.topic = topic;
        enqueue(std::move(job));
    }
}

void PushSender::enqueue(Job job) {
    if (m_stopped)
        return;
    if (m_queue.size() >= std::size_t(maxQueuedSends)) {
        qCWarning(lcPush, "too many pushes waiting: one to %s dropped",
                  qUtf8Printable(job.endpoint.host()));
        return;
    }
    m_queue.push_back(std::move(job));
    if (m_workers < maxConcurrentSends) {
        ++m_workers;
        asio::co_spawn(m_io, work(), asio::detached);
    }
}

asio::awaitable<void> PushSender::work() {
    while (!m_queue.empty() && !m_stopped) {
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        co_await send(std::move(job));
    }
    --m_workers;
}

asio::awaitable<void> PushSender::send(Job job) {
    // Logs name the push service only: the endpoint's path is the capability to page someone.
    const QByteArray host = job.endpoint.host().toUtf8();
    // The list may have shrunk since the phone subscribed.
    if (!m_hosts.allows(job.endpoint)) {
        qCInfo(lcPush, "push via %s not sent: not one of the push hosts", host.constData());
        co_return;
    }
    const QByteArray body = WebPushMessage::encrypt(job.payload, job.p256dh, job.auth);
    const QString authorization = m_keys->authorization(
        job.endpoint, m_subject, QDateTime::currentDateTimeUtc().addSecs(12 * 3600));
    if (body.isEmpty() || authorization.isEmpty()) {
        qCWarning(lcPush, "push via %s not sent: cannot encrypt or sign it", host.constData());
        co_return;
    }
    HttpsClient::Headers headers;
    headers.append({QByteArrayLiteral("Authorization"), authorization.toLatin1()});
    headers.append({QByteArrayLiteral("Content-Encoding"), QByteArrayLiteral("aes128gcm")});
    headers.append(
        {QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/octet-stream")});
    headers.append({QByteArrayLiteral("TTL"), timeToLive});
    headers.append({QByteArrayLiteral("Urgency"), QByteArrayLiteral("high")});
    headers.append({QByteArrayLiteral("Topic"), job.topic});
    const HttpsClient::Answer answer = co_await m_client.post(job.endpoint, headers, body);
    const int status = answer.status;
    if (status >= 200 && status < 300) {
        qCInfo(lcPush, "push sent via %s (%d)", host.constData(), status);
        co_return;
    }
    if (status == 404 || status == 410) {
        const QString id = job.subscriptionId;
        const auto drop = [id](Database &database) { return database.dropPushSubscription(id); };
        try {
            co_await m_store.run<bool>(drop);
            qCInfo(lcPush, "push subscription via %s is gone (%d): dropped", host.constData(),
                   status);
        } catch (const std::exception &error) {
            qCWarning(lcPush, "cannot drop a push subscription: %s", error.what());
        }
        co_return;
    }
    if ((status == 429 || status >= 500) && !job.retried) {
        bool seconds = false;
        const int asked = answer.retryAfter.trimmed().toInt(&seconds);
        const auto delay = seconds && asked >= 0
                               ? std::min(std::chrono::seconds(asked), maxRetryDelay)
                               : defaultRetryDelay;
        qCWarning(lcPush, "push via %s refused for now (%d): one more try in %lld s",
                  host.constData(), status, static_cast<long long>(delay.count()));
        asio::co_spawn(m_io, retryLater(std::move(job), delay), asio::detached);
        co_return;
    }
    if (status != 0)
        qCWarning(lcPush, "push via %s refused (%d)", host.constData(), status);
    else
        qCWarning(lcPush, "push via %s failed: %s", host.constData(), qUtf8Printable(answer.error));
}

asio::awaitable<void> PushSender::retryLater(Job job, std::chrono::seconds delay) {
    asio::steady_timer timer(m_io, delay);
    m_retries.push_back(&timer);
    const auto position = std::prev(m_retries.end());
    boost::system::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    m_retries.erase(position);
    if (m_stopped)
        co_return;
    job.retried = true;
    enqueue(std::move(job));
}

void PushSender::stop() {
    m_stopped = true;
    m_queue.clear();
    m_client.cancelAll();
    for (asio::steady_timer *timer : m_retries)
        timer->cancel();
}

} // namespace quillet
