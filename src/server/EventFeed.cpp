#include "server/EventFeed.h"

#include "server/Database.h"
#include "server/ServerContext.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace quillet {

EventFeed::EventFeed(ServerContext &context, Caller caller, qint64 after, bool reload,
                     std::chrono::milliseconds heartbeat)
    : m_context(context), m_caller(std::move(caller)), m_after(after), m_heartbeat(heartbeat),
      m_reload(reload) {
    ++m_context.openStreams[m_caller.credentialId];
}

EventFeed::~EventFeed() {
    auto found = m_context.openStreams.find(m_caller.credentialId);
    if (found != m_context.openStreams.end() && --*found <= 0)
        m_context.openStreams.erase(found);
}

asio::awaitable<std::optional<QByteArray>> EventFeed::next() {
    if (!m_greeted) {
        m_greeted = true;
        // The position the phone resumes from, even before the first event.
        co_return QByteArrayLiteral("retry: 3000\nid: ") + QByteArray::number(m_after) +
            (m_reload ? QByteArrayLiteral("\nevent: ready\ndata: {\"reload\":true}\n\n")
                      : QByteArrayLiteral("\nevent: ready\ndata: {}\n\n"));
    }
    const QString userId = m_caller.userId;
    const QString deviceId = m_caller.credentialId;
    for (;;) {
        if (m_context.hub.isClosed())
            co_return std::nullopt;
        const qint64 after = m_after;
        const auto read = [userId, deviceId, after](Database &database) {
            // An unpaired device stops hearing at once.
            if (!database.deviceExists(userId, deviceId))
                return QJsonArray{QJsonValue(QJsonValue::Null)};
            return database.events(userId, after, 100);
        };
        const QJsonArray events = co_await m_context.store.run<QJsonArray>(read);
        if (events.size() == 1 && events.first().isNull())
            co_return std::nullopt;
        if (!events.isEmpty()) {
            QByteArray text;
            for (const QJsonValue &value : events) {
                const QJsonObject event = value.toObject();
                m_after = event.value(QStringLiteral("id")).toInteger();
                text += QByteArrayLiteral("id: ") + QByteArray::number(m_after) +
                        QByteArrayLiteral("\nevent: ") +
                        event.value(QStringLiteral("type")).toString().toUtf8() +
                        QByteArrayLiteral("\ndata: ") +
                        QJsonDocument(event.value(QStringLiteral("data")).toObject())
                            .toJson(QJsonDocument::Compact) +
                        QByteArrayLiteral("\n\n");
            }
            co_return text;
        }
        if (!co_await m_context.hub.wait(userId, m_heartbeat))
            co_return m_context.hub.isClosed() ? std::nullopt
                                               : std::optional<QByteArray>(": ping\n\n");
    }
}

} // namespace quillet
