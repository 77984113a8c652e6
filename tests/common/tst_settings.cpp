#include "app/XdgAutostartLoginItem.h"
#include "common/Settings.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QSettings>

using namespace quillet;

class TestSettings : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        for (const QString &key : {Settings::pollInterval, Settings::idleThreshold,
                                   Settings::contextLines, Settings::notificationSound})
            Settings::remove(key);
    }

    void tuningRanges_data() {
        QTest::addColumn<QVariant>("poll");
        QTest::addColumn<QVariant>("idle");
        QTest::addColumn<QVariant>("lines");
        QTest::addColumn<double>("expectedPoll");
        QTest::addColumn<double>("expectedIdle");
        QTest::addColumn<int>("expectedLines");
        const QVariant absent;
        QTest::newRow("zero is the default")
            << QVariant(0.0) << QVariant(0) << QVariant(0.0) << 3.0 << 5.0 << 50;
        QTest::newRow("below range")
            << QVariant(0.5) << QVariant(1.0) << QVariant(7) << 1.0 << 3.0 << 10;
        QTest::newRow("above range")
            << QVariant(25) << QVariant(99.0) << QVariant(150) << 10.0 << 15.0 << 100;
        QTest::newRow("inside range, lines truncated")
            << QVariant(2.5) << QVariant(7.25) << QVariant(33.9) << 2.5 << 7.25 << 33;
        QTest::newRow("unreadable text is the default")
            << QVariant(QStringLiteral("fast")) << QVariant(QStringLiteral(""))
            << QVariant(QStringLiteral("1e999")) << 3.0 << 5.0 << 50;
    }

    void tuningRanges() {
        QFETCH(QVariant, poll);
        QFETCH(QVariant, idle);
        QFETCH(QVariant, lines);
        for (const auto &[key, value] : {std::pair{Settings::pollInterval, poll},
                                         {Settings::idleThreshold, idle},
                                         {Settings::contextLines, lines}}) {
            if (value.isValid())
                Settings::write(key, value);
        }
        QFETCH(double, expectedPoll);
        QFETCH(double, expectedIdle);
        QFETCH(int, expectedLines);
        const Settings::Tuning tuning = Settings::readTuning();
        QCOMPARE(tuning.pollInterval, expectedPoll);
        QCOMPARE(tuning.idleThreshold, expectedIdle);
        QCOMPARE(tuning.contextLines, expectedLines);
        // The stored values are never rewritten by reading them.
        if (poll.isValid())
            QCOMPARE(Settings::readText(Settings::pollInterval), poll.toString());
    }

    void valueWrittenByAnotherWriterIsSeen() {
        // The command line and the tray app are separate processes sharing one file.
        Settings::write(Settings::pollInterval, 4.0);
        {
            QSettings other(Settings::filePath(), QSettings::NativeFormat);
            other.setValue(Settings::pollInterval, 8.0);
        }
        QCOMPARE(Settings::readTuning().pollInterval, 8.0);
        QVERIFY(Settings::filePath().startsWith(
            quillet::test::TestEnvironment::current()->configHome()));
    }

    void autostartEntry() {
        XdgAutostartLoginItem item(QStringLiteral("/opt/My Apps/quillet \"dev\" 100%"));
        const QString path = XdgAutostartLoginItem::entryPath();
        QVERIFY(path.startsWith(quillet::test::TestEnvironment::current()->configHome()));
        QVERIFY(item.setEnabled(true));
        const QByteArray entry = quillet::test::fileBytes(path);
        QVERIFY(entry.startsWith("[Desktop Entry]\n"));
        QVERIFY(entry.contains("\nExec=\"/opt/My Apps/quillet \\\"dev\\\" 100%%\"\n"));
        QVERIFY(entry.contains("\nX-GNOME-Autostart-enabled=true\n"));
        QVERIFY(item.setEnabled(false));
        QVERIFY(item.setEnabled(false)); // removing twice is no failure
    }
};

QUILLET_TEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
