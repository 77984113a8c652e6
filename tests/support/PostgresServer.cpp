#include "support/PostgresServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace quillet::test {

namespace {
std::unique_ptr<PostgresServer> sharedServer;
const char *const owner = "postgres";
} // namespace

PostgresServer &PostgresServer::shared() {
    if (!sharedServer) {
        sharedServer.reset(new PostgresServer);
        // While QProcess still works.
        qAddPostRoutine([] { sharedServer.reset(); });
    }
    return *sharedServer;
}

PostgresServer::PostgresServer() {
    // Debian keeps the server's programs out of PATH, one folder per major version.
    const QStringList versions =
        QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (versions.isEmpty()) {
        m_failure = QStringLiteral("PostgreSQL is not installed (/usr/lib/postgresql is empty)");
        return;
    }
    m_bin = QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(versions.last());
    const passwd *user = ::geteuid() == 0 ? ::getpwnam(owner) : nullptr;
    if (::geteuid() == 0 && (!user || ::chown(qPrintable(m_dir.path()), user->pw_uid, 0) != 0)) {
        m_failure = QStringLiteral("running as root, and no \"postgres\" user to run it as");
        return;
    }
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const QString port = QString::number(probe.serverPort());
    probe.close();
    const QString data = m_dir.path() + QStringLiteral("/data");
    // fsync off: the cluster is thrown away, and waiting on the disk only slows the suite.
    const QString settings =
        QStringLiteral("-c listen_addresses=127.0.0.1 -c fsync=off -p %1 -k %2")
            .arg(port, m_dir.path());
    if (run(QStringLiteral("initdb"), {"-D", data, "-A", "trust", "-U", owner, "--no-sync"}) &&
        run(QStringLiteral("pg_ctl"),
            {"-D", data, "-l", data + ".log", "-o", settings, "-w", "start"}))
        m_port = port;
}

PostgresServer::~PostgresServer() {
    if (!m_port.isEmpty())
        run(QStringLiteral("pg_ctl"),
            {"-D", m_dir.path() + QStringLiteral("/data"), "-m", "fast", "-w", "stop"});
}

std::optional<QByteArray> PostgresServer::run(const QString &program, QStringList arguments) {
    QProcess process;
    // The cluster's folder as the working folder: its owner may not enter the caller's.
    process.setWorkingDirectory(m_dir.path());
    arguments.prepend(m_bin + program);
    if (::geteuid() == 0)
        arguments = QStringList{"-u", owner, "--"} + arguments;
    process.start(::geteuid() == 0 ? QStringLiteral("runuser") : arguments.takeFirst(), arguments);
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return process.readAllStandardOutput();
    m_failure = program + QStringLiteral(" failed: ") + process.readAllStandardError();
    return std::nullopt;
}

QString PostgresServer::databaseUrl(const QString &name) {
    if (!m_databases.contains(name) &&
        run(QStringLiteral("createdb"), {"-h", "127.0.0.1", "-p", m_port, "-U", owner, name}))
        m_databases << name;
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(owner, m_port, name);
}

QByteArray PostgresServer::dump(const QString &name) {
    return run(QStringLiteral("pg_dump"), {"-h", "127.0.0.1", "-p", m_port, "-U", owner, name})
        .value_or(QByteArray());
}

QByteArray PostgresServer::query(const QString &name, const QString &sql) {
    return run(QStringLiteral("psql"),
               {"-h", "127.0.0.1", "-p", m_port, "-U", owner, "-At", "-c", sql, name})
        .value_or(QByteArray());
}

} // namespace quillet::test
