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
        QString app, summary, body;
        uint replaces;
        QVariantMap hints;
    };
    QList<Call> calls;

public Q_SLOTS:
    uint Notify(const QString &app, uint replaces, const QString &, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &hints, int) {
        calls.append({app, summary, body, replaces, hints});
        return 40 + calls.size();
    }
};

class TestDesktopNotifier : public QObject {
    Q_OBJECT

    QProcess m_daemon;
    QString m_address;

private Q_SLOTS:
    void initTestCase() {
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForStarted(5000))
            QSKIP("dbus-daemon is not installed");
        QTRY_VERIFY_WITH_TIMEOUT(m_daemon.canReadLine(), 5000);
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    void cleanupTestCase() {
        m_daemon.terminate();
        m_daemon.waitForFinished(3000);
    }

    void outcomes_data() {
        QTest::addColumn<bool>("daemonRuns");
        QTest::addColumn<QVariant>("sound"); // invalid: never set
        QTest::addColumn<int>("outcome");
        QTest::newRow("never set is off")
            << true << QVariant() << int(DesktopNotifier::Outcome::muted);
        QTest::newRow("on, daemon")
            << true << QVariant(true) << int(DesktopNotifier::Outcome::notified);
        QTest::newRow("on, no daemon")
            << false << QVariant(true) << int(DesktopNotifier::Outcome::beeped);
    }
    void outcomes() {
        QFETCH(bool, daemonRuns);
        QFETCH(QVariant, sound);
        QFETCH(int, outcome);
        if (sound.isValid())
            Settings::write(Settings::notificationSound, sound);
        else
            Settings::remove(Settings::notificationSound);

        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        QDBusConnection daemonSide =
            QDBusConnection::connectToBus(m_address, QStringLiteral("d-") + tag);
        FakeNotifications fake;
        if (daemonRuns) {
            QVERIFY(daemonSide.registerObject(DesktopNotifier::path, &fake,
                                              QDBusConnection::ExportAllSlots));
            QVERIFY(daemonSide.registerService(DesktopNotifier::service));
        }
        auto notifier = std::make_unique<DesktopNotifier>(
            QDBusConnection::connectToBus(m_address, QStringLiteral("c-") + tag));
        int beeps = 0;
        notifier->beep = [&beeps] { ++beeps; };

        QCOMPARE(int(notifier->notifyNewQuestion(QStringLiteral("work:0.1"),
                                                 QStringLiteral("Allow <edit>?"))),
                 outcome);
        if (outcome == int(DesktopNotifier::Outcome::notified)) {
            QTRY_COMPARE(notifier->lastNotificationId(), 41u);
            QCOMPARE(fake.calls.size(), 1);
            QCOMPARE(fake.calls[0].summary, QStringLiteral("work:0.1"));
            QCOMPARE(fake.calls[0].body, QStringLiteral("Allow &lt;edit&gt;?"));
            QCOMPARE(fake.calls[0].hints.value(QStringLiteral("sound-name")).toString(),
                     QStringLiteral("message-new-instant"));
            // The next question replaces the bubble.
            notifier->notifyNewQuestion(QStringLiteral("t"), QStringLiteral("q"));
            QTRY_COMPARE(fake.calls.size(), 2);
            QCOMPARE(fake.calls[1].replaces, 41u);
        }
        QCOMPARE(beeps, outcome == int(DesktopNotifier::Outcome::beeped) ? 1 : 0);
        if (daemonRuns)
            daemonSide.unregisterService(DesktopNotifier::service);
        notifier.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("c-") + tag);
        QDBusConnection::disconnectFromBus(QStringLiteral("d-") + tag);
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestDesktopNotifier)
#include "tst_desktopnotifier.moc"
