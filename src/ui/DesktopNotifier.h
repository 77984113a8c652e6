#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace quillet {

// Tells the user that an agent asks something: a freedesktop notification where a notification
// service runs on the session bus, with the desktop's "new message" sound; the plain alert sound
// where none runs. Both only while "notificationSound" is on.
class DesktopNotifier {
public:
    explicit DesktopNotifier(QDBusConnection bus = QDBusConnection::sessionBus());
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier &) = delete;
    DesktopNotifier &operator=(const DesktopNotifier &) = delete;

    // Id of the last bubble shown, 0 before the first.
    uint lastNotificationId() const { return m_lastId; }

    enum class Outcome { muted, notified, beeped };
    Outcome notifyNewQuestion(const QString &title, const QString &question);

    // Seam for the plain alert sound (QApplication::beep by default).
    std::function<void()> beep;

    static inline const QString service = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString path = QStringLiteral("/org/freedesktop/Notifications");

private:
    bool notificationServiceRuns() const;

    QDBusConnection m_bus;
    uint m_lastId = 0; // a newer question replaces the older bubble instead of stacking
    std::unique_ptr<QObject> m_context; // ends pending replies' callbacks with this object
};

} // namespace quillet
