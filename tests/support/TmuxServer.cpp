#include "support/TmuxServer.h"

#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <unistd.h>

namespace quillet::test {

TmuxServer::TmuxServer() {
    // The one guard between the suite and somebody's real tmux server.
    const TestEnvironment *environment = TestEnvironment::current();
    if (!environment || qEnvironmentVariable("TMUX_TMPDIR") != environment->tmuxDir())
        qFatal("TmuxServer needs the isolated test environment (QUILLET_TEST_*_MAIN)");
    qunsetenv("TMUX");
    qunsetenv("TMUX_PANE");
}

TmuxServer::~TmuxServer() {
    kill();
}

void TmuxServer::kill() {
    if (executable().isEmpty())
        return;
    tmux({QStringLiteral("kill-server")});
    // kill-server returns before the server has let go of its socket; a session started in that
    // moment would reach the dying server.
    const QString socket = QStringLiteral("%1/tmux-%2/default")
                               .arg(qEnvironmentVariable("TMUX_TMPDIR"))
                               .arg(::getuid());
    QElapsedTimer timer;
    timer.start();
    while (!timer.hasExpired(5000)) {
        QLocalSocket probe;
        probe.connectToServer(socket);
        if (!probe.waitForConnected(200))
            break;
        probe.abort();
        QThread::msleep(10);
    }
}

QString TmuxServer::executable() {
    return QStandardPaths::findExecutable(QStringLiteral("tmux"));
}

QString TmuxServer::tmux(const QStringList &arguments, int *exitStatus) const {
    if (exitStatus)
        *exitStatus = -1;
    const QString program = executable();
    if (program.isEmpty())
        return QString();
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return QString();
    }
    if (exitStatus && process.exitStatus() == QProcess::NormalExit)
        *exitStatus = process.exitCode();
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString TmuxServer::startSession(const QString &name, const QString &shellCommand,
                                 const QString &directory) {
    QStringList arguments{
        "new-session", "-d", "-s", name, "-x",
        "100",         "-y", "30", "-c", directory.isEmpty() ? scratchDir() : directory};
    if (!shellCommand.isEmpty())
        arguments << shellCommand;
    int status = -1;
    tmux(arguments, &status);
    if (status != 0)
        return QString();
    const QStringList query{"display-message", "-p", "-t", '=' + name + ':',
                            "#{session_name}:#{window_index}.#{pane_index}"};
    return tmux(query).trimmed();
}

QString TmuxServer::startAsking(const QString &name, const QString &question) {
    QString quoted = question;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    const QString script =
        writeScript(QStringLiteral("ask-") + name,
                    QStringLiteral("printf '%s ' '%1'\nIFS= read -r answer\n"
                                   "printf '\\nanswer:[%s]\\n' \"$answer\"\nexec sleep 600\n")
                        .arg(quoted));
    return startSession(name, script);
}

QString TmuxServer::writeScript(const QString &name, const QString &body) const {
    const QString path = scratchDir() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write("#!/bin/sh\n");
    file.write(body.toUtf8());
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QString TmuxServer::capture(const QString &target) const {
    return tmux(
        {QStringLiteral("capture-pane"), QStringLiteral("-p"), QStringLiteral("-t"), target});
}

bool TmuxServer::waitForText(const QString &target, const QString &text, int timeoutMs) const {
    return QTest::qWaitFor([&] { return capture(target).contains(text); }, timeoutMs);
}

} // namespace quillet::test
