#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QProcess>
#include <numeric>

// The whole tray app in a desktop session of its own: an Xvfb display, a private D-Bus session
// and, standing in for the panel, a StatusNotifier watcher that reads the exported menu and
// clicks its "Quit Quillet" item.

class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    QStringList registered;
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return registered; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service) { registered << service; }
    void RegisterStatusNotifierHost(const QString &) {}
};

class TestDesktopSession : public QObject {
    Q_OBJECT

    QProcess m_xvfb;
    QProcess m_bus;
    QProcess m_app;
    QString m_display;
    QString m_address;

    static QString firstLine(QProcess &process) {
        if (!QTest::qWaitFor([&] { return process.canReadLine(); }, 10000))
            return {};
        return QString::fromUtf8(process.readLine()).trimmed();
    }

    // The id of the exported menu item labelled `label`.
    static int findItem(QDBusConnection &bus, const QString &service, const QString &menuPath,
                        const QString &label) {
        QList<int> ids(400);
        std::iota(ids.begin(), ids.end(), 0);
        QDBusMessage call = QDBusMessage::createMethodCall(
            service, menuPath, "com.canonical.dbusmenu", "GetGroupProperties");
        call << QVariant::fromValue(ids) << QStringList{QStringLiteral("label")};
        const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return -1;
        const QDBusArgument items = reply.arguments().first().value<QDBusArgument>();
        items.beginArray();
        int found = -1;
        while (!items.atEnd()) {
            int id = -1;
            QVariantMap properties;
            items.beginStructure();
            items >> id >> properties;
            items.endStructure();
            if (properties.value(QStringLiteral("label")).toString() == label)
                found = id;
        }
        items.endArray();
        return found;
    }

private Q_SLOTS:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            QSKIP("Xvfb and dbus-daemon are needed");
        m_xvfb.start("Xvfb",
                     {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        m_display = QLatin1Char(':') + firstLine(m_xvfb);
        QVERIFY2(m_display.size() > 1, "Xvfb did not start");
        m_bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        m_address = firstLine(m_bus);
        QVERIFY2(!m_address.isEmpty(), "dbus-daemon did not start");
    }

    void cleanupTestCase() {
        QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
        for (QProcess *process : {&m_app, &m_bus, &m_xvfb}) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                if (!process->waitForFinished(3000))
                    process->kill();
                process->waitForFinished(3000);
            }
        }
    }

    void quitFromTheTrayMenu() {
        QDBusConnection bus = QDBusConnection::connectToBus(m_address, QStringLiteral("panel"));
        QVERIFY(bus.isConnected());
        FakeWatcher watcher;
        QVERIFY(bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                                   QDBusConnection::ExportAllContents));
        QVERIFY(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        // libxkbcommon-x11 strndup()s a buffer that is not NUL-terminated (it passes the length),
        // which strict string checks of a sanitizer build take for an overflow.
        QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
        asan.replace(QLatin1String("strict_string_checks=1"),
                     QLatin1String("strict_string_checks=0"));
        if (!asan.isEmpty())
            env.insert(QStringLiteral("ASAN_OPTIONS"), asan);
        m_app.setProcessEnvironment(env);
        m_app.start(QStringLiteral(QUILLET_BINARY), {});
        QVERIFY(m_app.waitForStarted(10000));

        // A sanitizer build on a busy machine starts slowly.
        QTRY_VERIFY2_WITH_TIMEOUT(!watcher.registered.isEmpty(),
                                  m_app.readAllStandardError().constData(), 60000);
        const QString service = watcher.registered.first();
        // Qt exports the item's menu at this path; a panel reads it from the item's "Menu".
        const QString menuPath = QStringLiteral("/MenuBar");
        int quitId = -1;
        QTRY_VERIFY_WITH_TIMEOUT(
            (quitId = findItem(bus, service, menuPath, QStringLiteral("Quit Quillet"))) >= 0,
            10000);
        QDBusMessage click =
            QDBusMessage::createMethodCall(service, menuPath, "com.canonical.dbusmenu", "Event");
        click << quitId << QStringLiteral("clicked")
              << QVariant::fromValue(QDBusVariant(QVariant(0))) << 0u;
        bus.call(click, QDBus::NoBlock);

        QVERIFY(m_app.waitForFinished(15000));
        QCOMPARE(m_app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_app.exitCode(), 0);
        QVERIFY(!m_app.readAllStandardError().contains("No system tray"));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestDesktopSession)
#include "tst_desktopsession.moc"
