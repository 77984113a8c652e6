#include "app/XdgAutostartLoginItem.h"
#include "common/Settings.h"
#include "projects/ProjectCodec.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/RunQuillet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QProcess>
#include <unistd.h>

using namespace quillet;
using quillet::test::fileBytes;
using quillet::test::runQuillet;
using Run = quillet::test::QuilletRun;

namespace {

QByteArray projectsFile() {
    return fileBytes(ProjectStore::defaultFilePath());
}

// Root writes through permissions, so a read-only file or folder is made immutable as well (and
// an immutable one cannot have its permissions changed: the order matters).
bool setUnwritable(const QString &path, bool on) {
    const auto mode = QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                      (on ? QFileDevice::Permissions() : QFileDevice::WriteOwner);
    const auto immutable = [&] {
        return ::geteuid() != 0 || QProcess::execute("chattr", {on ? "+i" : "-i", path}) == 0;
    };
    return on ? QFile::setPermissions(path, mode) && immutable()
              : immutable() && QFile::setPermissions(path, mode);
}

} // namespace

class TestCliFoundation : public QObject {
    Q_OBJECT

    QString m_dir;

private Q_SLOTS:
    void initTestCase() {
        m_dir = quillet::test::TestEnvironment::current()->root() + QStringLiteral("/work");
        QDir().mkpath(m_dir + QStringLiteral("/sub dir"));
    }

    void addListRemove() {
        Run added = runQuillet({"projects", "add", "--name", "My App", "--directory", m_dir,
                                "--tool", "codex", "--auto-launch"});
        QCOMPARE(added.status, 0);
        QVERIFY(added.out.contains(QStringLiteral("my-app")));
        const auto stored = ProjectCodec::decode(projectsFile());
        QVERIFY(stored.projects.has_value());
        QCOMPARE(stored.projects->size(), 1);
        const Project p = stored.projects->first();
        QCOMPARE(p.launchCommand, QStringLiteral("codex")); // the tool's default

        // A relative directory is taken from where the command runs.
        added = runQuillet({"projects", "add", "--name", "Second", "--directory", "sub dir",
                            "--command", " claude --resume "},
                           m_dir);
        QCOMPARE(added.status, 0);
        const Run json = runQuillet({"projects", "list", "--json"});
        QCOMPARE(json.status, 0);
        QCOMPARE(json.out.toUtf8(), projectsFile() + "\n");
        const auto both = ProjectCodec::decode(projectsFile()).projects.value();
        QCOMPARE(both.at(1).directory, m_dir + QStringLiteral("/sub dir"));
        QCOMPARE(both.at(1).launchCommand, QStringLiteral("claude --resume"));

        const Run removed = runQuillet({"projects", "remove", both.at(0).idText().toLower()});
        QCOMPARE(removed.status, 0);
        QCOMPARE(runQuillet({"projects", "remove", "second"}).status, 0);
        QCOMPARE(ProjectCodec::decode(projectsFile()).projects->size(), 0);
        QCOMPARE(runQuillet({"projects", "remove", "second"}).status, 1);
    }

    void configRoundTrip() {
        QCOMPARE(runQuillet({"config", "set", "pollInterval", "2.5"}).status, 0);
        QCOMPARE(runQuillet({"config", "get", "pollInterval"}).out.trimmed(),
                 QStringLiteral("2.5"));
        QCOMPARE(Settings::readTuning().pollInterval, 2.5);
        QCOMPARE(runQuillet({"config", "unset", "pollInterval"}).status, 0);
        QVERIFY(!Settings::contains(Settings::pollInterval));
        const Run unsetGet = runQuillet({"config", "get", "pollInterval"});
        QCOMPARE(unsetGet.status, 0);
        QVERIFY(unsetGet.out.isEmpty());

        QCOMPARE(runQuillet({"config", "set", "launchAtLogin", "true"}).status, 0);
        QVERIFY(QFile::exists(XdgAutostartLoginItem::entryPath()));
        QCOMPARE(runQuillet({"config", "set", "launchAtLogin", "false"}).status, 0);
        QVERIFY(!QFile::exists(XdgAutostartLoginItem::entryPath()));
        QVERIFY(Settings::contains(Settings::launchAtLogin));
    }

    // Every refusal exits 1 with its reason and leaves the projects file and the settings as they
    // were; a fault, when given, is planted first: "read-only" or "link to nowhere" on "projects"
    // (the file), "projects folder", "settings" or "settings folder".
    void refusalsChangeNothing_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        const auto add = [](const QString &name, const QString &directory = ".") {
            return QStringList{"projects", "add", "--name", name, "--directory", directory};
        };
        const QStringList setPoll{"config", "set", "pollInterval", "5"};
        QTest::newRow("taken session name") << add(" TAKEN ") << ""
                                            << "A project with this session name already exists.";
        QTest::newRow("missing directory") << add("Fresh", "/no/such/place") << ""
                                           << "Directory does not exist.";
        QTest::newRow("unknown tool") << add("Fresh") + QStringList{"--tool", "vim"} << ""
                                      << "unknown tool 'vim'";
        QTest::newRow("name without letters") << add("?!") << ""
                                              << "gives no tmux session name";
        QTest::newRow("add, read-only file") << add("Fresh") << "read-only projects"
                                             << "Nothing was changed";
        QTest::newRow("remove, read-only folder")
            << QStringList{"projects", "remove", "taken"} << "read-only projects folder"
            << "nothing was changed";

        QTest::newRow("unknown key") << QStringList{"config", "set", "pollIntervall", "3"} << ""
                                     << "unknown key";
        QTest::newRow("ftp URL") << QStringList{"config", "set", "serverURL", "ftp://relay.example"}
                                 << ""
                                 << "not an http or https URL";
        QTest::newRow("header in the key")
            << QStringList{"config", "set", "agentApiKey", "KEY\r\nX-Injected: yes"} << ""
            << R"(must not contain control characters ('KEY\r\nX-Injected: yes'))";
        QTest::newRow("unknown command") << QStringList{"frobnicate"} << ""
                                         << "unknown command 'frobnicate'";
        QTest::newRow("set, read-only file") << setPoll << "read-only settings"
                                             << "nothing was changed";
        QTest::newRow("unset, read-only folder")
            << QStringList{"config", "unset", "pollInterval"} << "read-only settings folder"
            << "nothing was changed";
        QTest::newRow("set, link to nowhere") << setPoll << "link to nowhere settings"
                                              << "which does not exist";
    }
    void refusalsChangeNothing() {
        QFETCH(QStringList, args);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        QFile::remove(ProjectStore::defaultFilePath());
        QCOMPARE(runQuillet({"projects", "add", "--name", "taken", "--directory", m_dir}).status,
                 0);
        QVERIFY(Settings::write(Settings::pollInterval, 4.0));
        const QByteArray projectsBefore = projectsFile();
        const QByteArray settingsBefore = fileBytes(Settings::filePath());

        const bool onProjects = fault.contains(QLatin1String("projects"));
        const QString file = onProjects ? ProjectStore::defaultFilePath() : Settings::filePath();
        const QString planted =
            fault.endsWith(QLatin1String("folder")) ? QFileInfo(file).absolutePath() : file;
        const QString aside = file + QStringLiteral(".aside");
        if (fault.startsWith(QLatin1String("read-only")) && !setUnwritable(planted, true))
            QSKIP("cannot make a file unwritable here (chattr refused)");
        if (fault.startsWith(QLatin1String("link"))) {
            QVERIFY(QFile::rename(file, aside));
            QVERIFY(QFile::link(QStringLiteral("/nonexistent/folder/file"), file));
        }

        const Run run = runQuillet(args, m_dir);

        if (fault.startsWith(QLatin1String("read-only")))
            QVERIFY(setUnwritable(planted, false));
        if (fault.startsWith(QLatin1String("link"))) {
            QVERIFY(QFileInfo(file).isSymLink()); // the user's link stays as it was
            QVERIFY(QFile::remove(file) && QFile::rename(aside, file));
        }
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(projectsFile(), projectsBefore);
        QCOMPARE(fileBytes(Settings::filePath()), settingsBefore);
    }

    // Both files are read back as far as possible and never silently replaced; the settings,
    // which hold the agent key, are for their owner's eyes only.
    void damagedFilesAreKept() {
        const QString settings = Settings::filePath();
        const QString folder = QFileInfo(settings).absolutePath();
        const QByteArray damaged = "[General\nagentApiKey=abc\nno equals sign here\n";
        QVERIFY(QDir().mkpath(folder));
        QFile::remove(settings);
        QFile file(settings);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(damaged) == damaged.size());
        file.close();
        QVERIFY(QFile::setPermissions(settings, QFileDevice::Permissions(0x6644)));
        QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7755)));

        QCOMPARE(runQuillet({"config", "set", "pollInterval", "5"}).status, 0);
        const QStringList copies =
            QDir(folder).entryList({QStringLiteral("quillet.conf.corrupt-*")});
        QCOMPARE(copies.size(), 1);
        QCOMPARE(fileBytes(folder + QLatin1Char('/') + copies.first()), damaged);
        QCOMPARE(QFileInfo(settings).permissions(), QFileDevice::Permissions(0x6600));
        QCOMPARE(QFileInfo(folder).permissions(), QFileDevice::Permissions(0x7700));

        const QByteArray truncated = "[\n  {\n    \"id\" : ";
        QDir().mkpath(QFileInfo(ProjectStore::defaultFilePath()).absolutePath());
        QFile projects(ProjectStore::defaultFilePath());
        QVERIFY(projects.open(QIODevice::WriteOnly) && projects.write(truncated) > 0);
        projects.close();
        const Run run = runQuillet({"projects", "list", "--json"});
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.contains(ProjectStore::defaultFilePath() +
                                  QStringLiteral(".corrupt-<UTC date and time>")),
                 qPrintable(run.err));
        QCOMPARE(projectsFile(), truncated);
        QVERIFY(QFile::remove(ProjectStore::defaultFilePath()));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestCliFoundation)
#include "tst_cli_foundation.moc"
