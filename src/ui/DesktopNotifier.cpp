#include "ui/DesktopNotifier.h"

#include "common/Settings.h"

#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>
#include <QVariantMap>

Q_LOGGING_CATEGORY(lcNotifier, "lorvo.fennick.quillet-mac.DesktopNotifier")

namespace quillet {

namespace {
// A question must not wait for a stuck notification daemon.
constexpr int busTimeoutMs = 5000;
constexpr int bubbleTimeoutMs = 10000;
} // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus)
    : beep([] { QApplication::beep(); }), m_bus(std::move(bus)),
      m_context(std::make_unique<QObject>()) {}

DesktopNotifier::~DesktopNotifier() = default;

bool DesktopNotifier::notificationServiceRuns() const {
    if (!m_bus.isConnected() || !m_bus.interface())
        return false;
    return m_bus.interface()->isServiceRegistered(service).value();
}

DesktopNotifier::Outcome DesktopNotifier::notifyNewQuestion(const QString &title,
                                                            const QString &question) {
    if (!Settings::readBool(Settings::notificationSound))
        return Outcome::muted;
    if (notificationServiceRuns()) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
        QVariantMap hints;
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
        hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
        hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("lorvo.fennick.quillet"));
        call << QStringLiteral("Quillet") << m_lastId << QStringLiteral("lorvo.fennick.quillet")
             << title << question.toHtmlEscaped() << QStringList() << hints << bubbleTimeoutMs;
        // Not awaited: the monitor goes on while the daemon shows the bubble.
        auto *watcher =
            new QDBusPendingCallWatcher(m_bus.asyncCall(call, busTimeoutMs), m_context.get());
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, m_context.get(),
                         [this, watcher] {
                             const QDBusPendingReply<uint> reply = *watcher;
                             watcher->deleteLater();
                             if (reply.isValid()) {
                                 m_lastId = reply.value();
                                 return;
                             }
                             qCWarning(lcNotifier, "Desktop notification failed: %s",
                                       qUtf8Printable(reply.error().message()));
                             if (beep)
                                 beep();
                         });
        return Outcome::notified;
    }
    if (beep)
        beep();
    return Outcome::beeped;
}

} // namespace quillet
