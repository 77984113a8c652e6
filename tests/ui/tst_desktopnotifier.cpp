#include "common/Settings.h"
#include "support/TestEnvironment.h"
#include "ui/DesktopNotifier.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>

using namespace quillet;

// Stands in for the desktop's notification daemon on a private bus.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString summary, body;
        uint replaces;
        QVariantMap hints;
    };
    QList<Call> calls;

public Q_SLOTS:
    uint Notify(const QString &, uint replaces, const QString &, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &hints, int) {
        calls.append({summary, body, replaces, hints});
        return 40 + calls.size();
    }
};

class TestDesktopNotifier : public QObject {
    Q_OBJECT

    QProcess m_daemon;
    QString m_address;

private Q_SLOTS:
    void initTestCase() {
        m_daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!m_daemon.waitForStarted(5000))
            QSKIP("dbus-daemon is not installed");
        QTRY_VERIFY_WITH_TIMEOUT(m_daemon.canReadLine(), 5000);
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    void cleanupTestCase() {
        QDBusConnection::disconnectFromBus(QStringLiteral("c"));
        QDBusConnection::disconnectFromBus(QStringLiteral("d"));
        m_daemon.terminate();
        m_daemon.waitForFinished(3000);
    }

    // Off until the user turns the sound on; then a beep without a daemon, a bubble with one.
    void outcomes() {
        Settings::remove(Settings::notificationSound);
        FakeNotifications fake;
        QDBusConnection daemonSide = QDBusConnection::connectToBus(m_address, QStringLiteral("d"));
        DesktopNotifier notifier(QDBusConnection::connectToBus(m_address, QStringLiteral("c")));
        int beeps = 0;
        notifier.beep = [&beeps] { ++beeps; };
        const auto notify = [&](const QString &question) {
            return notifier.notifyNewQuestion(QStringLiteral("work:0.1"), question);
        };
        QCOMPARE(notify(QStringLiteral("q")), DesktopNotifier::Outcome::muted);
        Settings::write(Settings::notificationSound, true);
        QCOMPARE(notify(QStringLiteral("q")), DesktopNotifier::Outcome::beeped);
        QCOMPARE(beeps, 1);

        QVERIFY(daemonSide.registerObject(DesktopNotifier::path, &fake,
                                          QDBusConnection::ExportAllSlots));
        QVERIFY(daemonSide.registerService(DesktopNotifier::service));
        QCOMPARE(notify(QStringLiteral("Allow <edit>?")), DesktopNotifier::Outcome::notified);
        QTRY_COMPARE(notifier.lastNotificationId(), 41u);
        QCOMPARE(fake.calls[0].summary, QStringLiteral("work:0.1"));
        QCOMPARE(fake.calls[0].body, QStringLiteral("Allow &lt;edit&gt;?"));
        QCOMPARE(fake.calls[0].hints.value(QStringLiteral("sound-name")).toString(),
                 QStringLiteral("message-new-instant"));
        // The next question replaces the bubble.
        notify(QStringLiteral("q"));
        QTRY_COMPARE(fake.calls.size(), 2);
        QCOMPARE(fake.calls[1].replaces, 41u);
        QCOMPARE(beeps, 1);
        daemonSide.unregisterService(DesktopNotifier::service);
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestDesktopNotifier)
#include "tst_desktopnotifier.moc"
