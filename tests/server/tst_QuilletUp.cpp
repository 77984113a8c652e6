#include "common/Settings.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/HttpClient.h"
#include "support/RunQuillet.h"
#include "support/TestEnvironment.h"
#include "support/TmuxServer.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <csignal>

using namespace quillet;
using namespace quillet::test;

namespace {

// `quillet up` as the user runs it: a process whose lines are awaited, stopped by SIGTERM.
class UpProcess {
public:
    explicit UpProcess(const QStringList &arguments = {}) {
        m_process.start(QStringLiteral(QUILLET_BINARY),
                        QStringList{QStringLiteral("up")} + arguments);
    }
    ~UpProcess() {
        if (m_process.state() != QProcess::NotRunning)
            stop();
    }
    // Waits until standard output matches `pattern`; its match, empty when it never did.
    QRegularExpressionMatch waitFor(const QString &pattern, int timeoutMs = 30000) {
        const QRegularExpression expression(pattern);
        QRegularExpressionMatch match;
        const bool ended = QTest::qWaitFor(
            [&] {
                m_out += QString::fromUtf8(m_process.readAllStandardOutput());
                match = expression.match(m_out);
                return match.hasMatch() || m_process.state() == QProcess::NotRunning;
            },
            timeoutMs);
        if (!match.hasMatch())
            qWarning("no '%s' (%s) in:\n%s\n%s", qPrintable(pattern), ended ? "ended" : "timed out",
                     qPrintable(m_out), m_process.readAllStandardError().constData());
        return match;
    }
    bool shows(const QString &pattern) { return waitFor(pattern).hasMatch(); }
    int stop() {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(20000))
            m_process.kill();
        m_out += QString::fromUtf8(m_process.readAllStandardOutput());
        const int status =
            m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        if (status != 0)
            qWarning("quillet up ended with %d:\n%s", status,
                     m_process.readAllStandardError().constData());
        return status;
    }
    QString out() const { return m_out; }

private:
    QProcess m_process;
    QString m_out;
};

} // namespace

// `quillet up` from an empty home to a paired phone and a running monitor, and each run after:
// the built client and relay as processes, the software passkey, a private tmux server.
class TestQuilletUp : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fromNothingToMonitoringThenStraightBack();
};

void TestQuilletUp::fromNothingToMonitoringThenStraightBack() {
    const QString database = TestEnvironment::current()->dataHome() + "/Quillet/server.sqlite";
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost));
    const QString port = QString::number(other.serverPort());
    const QString url = QStringLiteral("http://127.0.0.1:") + port;
    HttpClient http(url);

    // Another program holds the port: a clear refusal, and nothing half-made.
    const QuilletRun taken = runQuillet({"up", "--listen", "127.0.0.1", "--port", port});
    QCOMPARE(taken.status, 1);
    QVERIFY(!Settings::contains(Settings::serverURL));
    QVERIFY(!QFile::exists(database));
    other.close();

    TmuxServer tmux;
    ProjectStore().add(sampleProject(QStringLiteral("Work"), tmux.scratchDir()));
    tmux.startSession(QStringLiteral("work"));

    // First run: the relay starts, the account is made, the code shows until a phone pairs.
    QString device;
    {
        UpProcess up({"--listen", "127.0.0.1", "--port", port});
        QVERIFY(up.shows("Account: creating the account '\\S+'"));
        const QRegularExpressionMatch code = up.waitFor("manually: ([A-Z0-9]{3}) ([A-Z0-9]{3})");
        QVERIFY(code.hasMatch());
        // At once: a phone quicker than the command's count of paired phones still counts.
        const HttpAnswer paired = http.json("POST", "/api/pair/complete",
                                            {{"code", code.captured(1) + code.captured(2)},
                                             {"device_name", "Pixel"},
                                             {"device_type", "android"}});
        QCOMPARE(paired.status, 201);
        device = paired.text("device_token");
        QVERIFY(up.shows("Paired Pixel \\(android\\)\\.[\\s\\S]*Monitoring:"));
        // The monitor runs (the phone test answers a question through it): the project's pane is
        // a session the phone sees.
        QVERIFY(QTest::qWaitFor(
            [&] { return !http.get("/api/sessions", device).array().isEmpty(); }, 30000));
        QCOMPARE(up.stop(), 0);
    }
    // The relay was ours and went with us.
    QCOMPARE(http.send("GET", "/api/health", {}, {}, 3000).status, 0);

    // Asked to, the relay outlives the run; nothing else is made again.
    qint64 keptPid = 0;
    auto stopKept = qScopeGuard([&] {
        if (keptPid > 0)
            ::kill(pid_t(keptPid), SIGTERM);
    });
    {
        UpProcess up({"--keep-server"});
        const QRegularExpressionMatch kept = up.waitFor("stop it with 'kill (\\d+)'");
        QVERIFY(kept.hasMatch());
        keptPid = kept.captured(1).toLongLong();
        QVERIFY(up.shows("Account: signed in to " + QRegularExpression::escape(url) +
                         "\\.\\nPhone: 1 paired[\\s\\S]*Monitoring:"));
        QCOMPARE(up.stop(), 0);
        QVERIFY(!up.out().contains("creating") && !up.out().contains("manually:"));
    }
    QCOMPARE(http.get("/api/health").status, 200);

    // The relay already runs: it is used as it is, and the phone paired before still works.
    {
        UpProcess up;
        QVERIFY(up.shows("Server: already running at " + QRegularExpression::escape(url) +
                         "[\\s\\S]*Monitoring:"));
        QCOMPARE(up.stop(), 0);
    }
    QCOMPARE(http.get("/api/sessions", device).status, 200);

    // A server of the user's choosing is used as it is, never started; down, it is named.
    QCOMPARE(runQuillet({"config", "set", "serverURL", "http://127.0.0.1:1"}).status, 0);
    const QuilletRun remote = runQuillet({"up"});
    QCOMPARE(remote.status, 1);
    QVERIFY2(remote.err.contains("http://127.0.0.1:1 does not answer as a Quillet server"),
             qPrintable(remote.err));

    // Where the user's systemd runs, the relay becomes its service. A systemctl of our own on
    // PATH records what it is asked and starts what the unit and our drop-in say, as systemd would.
    const QString root = TestEnvironment::current()->root();
    QVERIFY(QDir().mkpath(root + "/run/systemd") && QDir().mkpath(root + "/bin"));
    QFile(root + "/run/systemd/private").open(QIODevice::WriteOnly);
    QFile fake(root + "/bin/systemctl");
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\necho \"$*\" >> \"$0.calls\"\ncase \"$2\" in\n  cat) exit 1 ;;\n"
               "  restart) unit=\"$XDG_CONFIG_HOME/systemd/user/$3\"\n"
               "    env $(sed -n 's/^Environment=//p' \"$unit.d/up.conf\") "
               "$(sed -n 's/^ExecStart=//p' \"$unit\") >/dev/null 2>&1 &\n"
               "    echo $! > \"$0.pid\" ;;\nesac\n");
    fake.close();
    QVERIFY(fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + "/run"));
    qputenv("PATH", QFile::encodeName(root + "/bin:") + qgetenv("PATH"));
    QCOMPARE(runQuillet({"config", "unset", "serverURL"}).status, 0);
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString servicePort = QString::number(probe.serverPort());
    probe.close();
    {
        UpProcess up({"--no-pair", "--listen", "127.0.0.1", "--port", servicePort});
        QVERIFY(up.shows("Monitoring:"));
        QCOMPARE(up.stop(), 0);
    }
    QFile pid(root + "/bin/systemctl.pid");
    auto stopService = qScopeGuard([&] {
        if (pid.open(QIODevice::ReadOnly))
            ::kill(pid_t(pid.readAll().trimmed().toLongLong()), SIGTERM);
    });
    QFile calls(root + "/bin/systemctl.calls");
    QVERIFY(calls.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(calls.readAll()).split('\n', Qt::SkipEmptyParts),
             (QStringList{"--user cat quillet-server.service", "--user daemon-reload",
                          "--user enable quillet-server.service",
                          "--user restart quillet-server.service"}));
    // The service is systemd's, not the run's: it outlives `quillet up`.
    QCOMPARE(HttpClient("http://127.0.0.1:" + servicePort).get("/api/health").status, 200);
}

QUILLET_TEST_GUILESS_MAIN(TestQuilletUp)
#include "tst_QuilletUp.moc"
