#include "projects/DropCoordinator.h"
#include "support/TestEnvironment.h"

#include <QTemporaryDir>

using namespace quillet;

class TestDropCoordinator : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void firstFolder_data() {
        QTest::addColumn<QStringList>("entries"); // "d:" folder, "f:" file, "m:" missing, else URL
        QTest::addColumn<int>("expected");        // index of the folder found, -1 for none
        QTest::newRow("skips file and missing") << QStringList{"f:b.txt", "m:gone", "d:c"} << 2;
        QTest::newRow("first of three folders") << QStringList{"d:d1", "d:d2", "d:d3"} << 0;
        QTest::newRow("remote location") << QStringList{"https://example.org/x"} << -1;
    }
    void firstFolder() {
        QFETCH(QStringList, entries);
        QFETCH(int, expected);
        QList<QUrl> urls;
        for (const QString &entry : entries) {
            const QString path = m_dir.path() + QLatin1Char('/') + entry.mid(2);
            if (entry.startsWith(QLatin1String("d:"))) {
                QDir().mkpath(path);
            } else if (entry.startsWith(QLatin1String("f:"))) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
            } else if (!entry.startsWith(QLatin1String("m:"))) {
                urls << QUrl(entry);
                continue;
            }
            urls << QUrl::fromLocalFile(path);
        }
        const auto found = DropCoordinator::firstFolder(urls);
        if (expected < 0)
            QVERIFY(!found);
        else
            QCOMPARE(found, urls.at(expected).toLocalFile());
    }
};

QUILLET_TEST_GUILESS_MAIN(TestDropCoordinator)
#include "tst_dropcoordinator.moc"
