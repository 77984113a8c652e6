#include "projects/ProjectCodec.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QSaveFile>
#include <QSignalSpy>

using namespace quillet;
using namespace quillet::test;

namespace {

void writeBytes(const QString &path, const QByteArray &bytes) {
    QSaveFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    QVERIFY(file.commit());
}

QStringList names(const ProjectStore &store) {
    QStringList result;
    for (const Project &p : store.projects())
        result << p.name;
    return result;
}

} // namespace

class TestProjectStore : public QObject {
    Q_OBJECT

    QString m_path;

private Q_SLOTS:
    void init() {
        QDir folder(TestEnvironment::current()->dataHome() + QStringLiteral("/Parvex"));
        folder.removeRecursively();
        folder.mkpath(QStringLiteral("."));
        m_path = ProjectStore::defaultFilePath();
    }

    // A change from another process is merged in before a write (its notice: the running store
    // below), and an update that misses rewrites nothing. (Moving down: the projects window's
    // drag.)
    void changesMerge() {
        ProjectStore store;
        store.add(sampleProject(QStringLiteral("Tray")));
        // Another process (the command line) adds a project behind the tray app's back.
        ProjectStore cli;
        cli.load();
        cli.add(sampleProject(QStringLiteral("Cli")));
        store.add(sampleProject(QStringLiteral("Tray 2")));
        ProjectStore reread;
        reread.load();
        QCOMPARE(names(reread), (QStringList{"Tray", "Cli", "Tray 2"}));
        QCOMPARE(names(store), names(reread));

        const QDateTime stamp = QFileInfo(store.filePath()).lastModified();
        store.update(sampleProject(QStringLiteral("Stranger")));
        QCOMPARE(QFileInfo(store.filePath()).lastModified(), stamp);
        QCOMPARE(names(store), names(reread));

        store.move({2}, 0);
        reread.load();
        QCOMPARE(names(reread), (QStringList{"Tray 2", "Tray", "Cli"}));
    }

    void refusedChangesAreUndone() {
        ProjectStore store;
        QVERIFY(store.add(sampleProject(QStringLiteral("Kept"))));
        const Project kept = store.projects().first();
        QStringList seen;
        store.onChanged = [&] { seen << names(store).join(QLatin1Char(',')); };
        QVERIFY(!store.add(kept)); // the same id twice
        QCOMPARE(store.lastError(), QStringLiteral("A project with this id already exists."));

        // A link to nowhere: no one can write through it, root included.
        QVERIFY(QFile::remove(m_path));
        QVERIFY(QFile::link(QStringLiteral("/nonexistent/folder/projects.json"), m_path));
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("^Failed to save projects: .+")));
        QVERIFY(!store.add(sampleProject(QStringLiteral("Lost"))));
        QCOMPARE(seen, (QStringList{"Kept,Lost", "Kept"})); // observers see the undo too
        QCOMPARE(names(store), QStringList{"Kept"});
        QVERIFY2(store.lastError().contains(
                     QStringLiteral("is a link to /nonexistent/folder/projects.json")),
                 qPrintable(store.lastError()));
        QVERIFY(QFileInfo(m_path).isSymLink());
    }

    // Valid JSON the codec refuses (tst_project's strict reads); a truncated file: tests/cli.
    void unreadableFileIsPreserved() {
        const QByteArray damaged(
            R"([{"id":"0F8FAD5B-D9CB-469F-A165-70867728950E","name":"n","directory":"/",
                "tmuxSessionName":"n","launchCommand":"","tool":"generic","createdAt":"2025-01-01T00:00:00Z"}])");
        writeBytes(m_path, damaged);
        ProjectStore store;
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("^Failed to load projects: .+")));
        store.load();
        QVERIFY(store.projects().isEmpty());
        QCOMPARE(fileBytes(m_path), damaged); // loading alone changes nothing

        store.add(sampleProject(QStringLiteral("New")));
        const QStringList aside = QDir(QFileInfo(m_path).absolutePath())
                                      .entryList({QStringLiteral("projects.json.corrupt-*")});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(fileBytes(QFileInfo(m_path).absolutePath() + QLatin1Char('/') + aside.first()),
                 damaged);
        QCOMPARE(names(store), QStringList{"New"});
        ProjectStore reread;
        reread.load();
        QCOMPARE(names(reread), QStringList{"New"});
    }

    void runningStoreFollowsTheFile() {
        ProjectStore tray;
        tray.load();
        tray.setWatchingFile(true);
        QSignalSpy changed(&tray, &ProjectStore::changed);
        ProjectStore cli;
        cli.load();
        cli.add(sampleProject(QStringLiteral("Outside")));
        QTRY_COMPARE_WITH_TIMEOUT(names(tray), QStringList{"Outside"}, 5000);
        QVERIFY(changed.count() >= 1);
        tray.add(sampleProject(QStringLiteral("Inside")));

        // A second outside change after the file was replaced is still seen.
        cli.remove(tray.projects().first().id);
        QTRY_COMPARE_WITH_TIMEOUT(names(tray), QStringList{"Inside"}, 5000);
    }
};

QUILLET_TEST_GUILESS_MAIN(TestProjectStore)
#include "tst_projectstore.moc"
