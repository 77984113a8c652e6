#include "app/XdgAutostartLoginItem.h"
#include "common/Settings.h"
#include "projects/ProjectCodec.h"
#include "projects/ProjectStore.h"
#include "support/RunQuillet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QProcess>

using namespace quillet;
using quillet::test::runQuillet;
using Run = quillet::test::QuilletRun;

namespace {

QByteArray projectsFile() {
    QFile file(ProjectStore::defaultFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

    void versionAndHelp() {
        const Run version = runQuillet({QStringLiteral("--version")});
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out.trimmed(), QStringLiteral("quillet " QUILLET_VERSION));
        for (const QStringList &args :
             {QStringList{"--help"}, QStringList{"projects", "add", "--help"},
              QStringList{"projects", "list", "--help"}, QStringList{"config", "--help"},
              QStringList{"config", "set", "--help"}}) {
            const Run help = runQuillet(args);
            QVERIFY2(help.status == 0, qPrintable(args.join(QLatin1Char(' '))));
            QVERIFY(help.out.contains(QStringLiteral("Usage: quillet")));
        }
        const Run unknown = runQuillet({QStringLiteral("frobnicate")});
        QCOMPARE(unknown.status, 1);
        QVERIFY(unknown.err.contains(QStringLiteral("unknown command 'frobnicate'")));
        QVERIFY(unknown.out.isEmpty());
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
        QCOMPARE(p.tool, CodingTool::codex);
        QVERIFY(p.autoLaunch);
        QCOMPARE(p.directory, m_dir);

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
        const Run missing = runQuillet({"projects", "remove", "second"});
        QCOMPARE(missing.status, 1);
        QVERIFY(missing.err.contains(QStringLiteral("second")));
    }

    void addRefusals_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("taken session name") << QStringList{"--name", " TAKEN ", "--directory", "."}
                                            << "A project with this session name already exists.";
        QTest::newRow("missing directory")
            << QStringList{"--name", "Fresh", "--directory", "/no/such/place"}
            << "Directory does not exist.";
        QTest::newRow("unknown tool")
            << QStringList{"--name", "Fresh", "--directory", ".", "--tool", "vim"}
            << "unknown tool 'vim'";
        QTest::newRow("no name") << QStringList{"--directory", "."} << "needs a name";
        QTest::newRow("blank name")
            << QStringList{"--name", " \t", "--directory", "."} << "needs a name";
        QTest::newRow("no directory") << QStringList{"--name", "Fresh"} << "needs a directory";
        QTest::newRow("name without letters")
            << QStringList{"--name", "?!", "--directory", "."} << "gives no tmux session name";
        QTest::newRow("stray argument")
            << QStringList{"--name", "Fresh", "--directory", ".", "extra"}
            << "unexpected argument 'extra'";
        QTest::newRow("unknown option") << QStringList{"--colour", "red"} << "Unknown option";
    }
    void addRefusals() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QCOMPARE(runQuillet({"projects", "add", "--name", "taken", "--directory", m_dir}).status,
                 0);
        const QByteArray before = projectsFile();
        const Run run = runQuillet(QStringList{"projects", "add"} + args, m_dir);
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(projectsFile(), before);
        QCOMPARE(runQuillet({"projects", "remove", "taken"}).status, 0);
    }

    void configRoundTrip() {
        QCOMPARE(runQuillet({"config", "set", "pollInterval", "2.5"}).status, 0);
        QCOMPARE(runQuillet({"config", "get", "pollInterval"}).out.trimmed(),
                 QStringLiteral("2.5"));
        QCOMPARE(Settings::readTuning().pollInterval, 2.5);
        QCOMPARE(runQuillet({"config", "set", "notificationSound", "true"}).status, 0);
        QVERIFY(Settings::readBool(Settings::notificationSound));
        QCOMPARE(runQuillet({"config", "set", "serverURL", "https://relay.example.test"}).status,
                 0);
        QCOMPARE(Settings::readText(Settings::serverURL),
                 QStringLiteral("https://relay.example.test"));
        QCOMPARE(runQuillet({"config", "unset", "pollInterval"}).status, 0);
        QVERIFY(!Settings::contains(Settings::pollInterval));
        const Run unsetGet = runQuillet({"config", "get", "pollInterval"});
        QCOMPARE(unsetGet.status, 0);
        QVERIFY(unsetGet.out.isEmpty());
        QVERIFY(unsetGet.err.contains(QStringLiteral("not set")));

        QCOMPARE(runQuillet({"config", "set", "launchAtLogin", "true"}).status, 0);
        QVERIFY(QFile::exists(XdgAutostartLoginItem::entryPath()));
        QCOMPARE(runQuillet({"config", "set", "launchAtLogin", "false"}).status, 0);
        QVERIFY(!QFile::exists(XdgAutostartLoginItem::entryPath()));
        QVERIFY(Settings::contains(Settings::launchAtLogin));
    }

    void configRefusals_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown key") << QStringList{"set", "pollIntervall", "3"} << "unknown key";
        QTest::newRow("not a number")
            << QStringList{"set", "pollInterval", "fast"} << "takes a number";
        QTest::newRow("below range")
            << QStringList{"set", "pollInterval", "0.5"} << "between 1 and 10";
        QTest::newRow("above range")
            << QStringList{"set", "idleThreshold", "16"} << "between 3 and 15";
        QTest::newRow("fractional lines")
            << QStringList{"set", "contextLines", "33.5"} << "whole number";
        QTest::newRow("boolean word")
            << QStringList{"set", "notificationSound", "yes"} << "true or false";
        QTest::newRow("not a URL")
            << QStringList{"set", "serverURL", "relay.example"} << "not an http or https URL";
        QTest::newRow("ftp URL") << QStringList{"set", "serverURL", "ftp://relay.example"}
                                 << "not an http or https URL";
        QTest::newRow("empty key text")
            << QStringList{"set", "agentApiKey", " "} << "must not be empty";
        QTest::newRow("missing value") << QStringList{"set", "pollInterval"} << "missing argument";
        QTest::newRow("get unknown") << QStringList{"get", "nope"} << "unknown key";
        QTest::newRow("unknown verb") << QStringList{"frob"} << "unknown command 'config frob'";
    }
    void configRefusals() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        Settings::write(Settings::pollInterval, 4.0);
        QFile file(Settings::filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        const Run run = runQuillet(QStringList{"config"} + args);
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }
};

QUILLET_TEST_GUILESS_MAIN(TestCliFoundation)
#include "tst_cli_foundation.moc"
