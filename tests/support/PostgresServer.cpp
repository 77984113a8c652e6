#include "support/PostgresServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace quillet::test {

namespace {

QString findBin() {
    // Debian keeps the server's programs out of PATH, one folder per major version.
    QStringList versions =
        QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : versions) {
        const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(version);
        if (QFileInfo(bin + QStringLiteral("/pg_ctl")).isExecutable())
            return bin;
    }
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("pg_ctl"));
    return onPath.isEmpty() ? QString() : QFileInfo(onPath).absolutePath();
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

std::unique_ptr<PostgresServer> sharedServer;

} // namespace

PostgresServer::PostgresServer() {
    m_bin = findBin();
    if (m_bin.isEmpty()) {
        m_failure = QStringLiteral("PostgreSQL is not installed (no pg_ctl)");
        return;
    }
    if (::geteuid() == 0) {
        for (const char *name : {"postgres", "nobody"}) {
            if (::getpwnam(name)) {
                m_owner = QString::fromLatin1(name);
                break;
            }
        }
        if (m_owner.isEmpty()) {
            m_failure = QStringLiteral("running as root and no user to run PostgreSQL as");
            return;
        }
    }
    char pattern[] = "/tmp/quillet-pg-XXXXXX";
    if (!::mkdtemp(pattern)) {
        m_failure = QStringLiteral("cannot make a folder under /tmp");
        return;
    }
    m_dir = QString::fromLocal8Bit(pattern);
    if (!m_owner.isEmpty()) {
        const passwd *owner = ::getpwnam(qPrintable(m_owner));
        if (::chown(pattern, owner->pw_uid, owner->pw_gid) != 0) {
            m_failure = QStringLiteral("cannot give %1 to %2").arg(m_dir, m_owner);
            return;
        }
    }
    m_port = freePort();
    const QString data = m_dir + QStringLiteral("/data");
    if (!run(QStringLiteral("initdb"),
             {QStringLiteral("-D"), data, QStringLiteral("-A"), QStringLiteral("trust"),
              QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-E"),
              QStringLiteral("UTF8"), QStringLiteral("--no-sync")}))
        return;
    // fsync off: a test's cluster is thrown away, and waiting on the disk only slows the suite.
    const QString settings =
        QStringLiteral("-c listen_addresses=127.0.0.1 -p %1 -k %2 -c fsync=off "
                       "-c max_connections=200")
            .arg(m_port)
            .arg(m_dir);
    if (!run(QStringLiteral("pg_ctl"),
             {QStringLiteral("-D"), data, QStringLiteral("-l"), m_dir + QStringLiteral("/log"),
              QStringLiteral("-o"), settings, QStringLiteral("-w"), QStringLiteral("start")})) {
        QFile log(m_dir + QStringLiteral("/log"));
        if (log.open(QIODevice::ReadOnly))
            m_failure += QStringLiteral("\n") + QString::fromLocal8Bit(log.readAll());
        m_port = 0;
    }
}

PostgresServer::~PostgresServer() {
    stop();
    if (!m_dir.isEmpty())
        QDir(m_dir).removeRecursively();
}

PostgresServer &PostgresServer::shared() {
    if (!sharedServer) {
        sharedServer = std::make_unique<PostgresServer>();
        // Before the application goes, while QProcess still works.
        qAddPostRoutine([] { sharedServer.reset(); });
    }
    return *sharedServer;
}

void PostgresServer::stop() {
    if (m_port == 0)
        return;
    run(QStringLiteral("pg_ctl"),
        {QStringLiteral("-D"), m_dir + QStringLiteral("/data"), QStringLiteral("-m"),
         QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")});
    m_port = 0;
}

bool PostgresServer::run(const QString &program, const QStringList &arguments, QByteArray *output) {
    QProcess process;
    // The cluster's folder is the working folder: its owner may not enter the caller's.
    if (!m_dir.isEmpty())
        process.setWorkingDirectory(m_dir);
    const QString executable = m_bin + QLatin1Char('/') + program;
    if (m_owner.isEmpty())
        process.start(executable, arguments);
    else
        process.start(QStringLiteral("runuser"),
                      QStringList{QStringLiteral("-u"), m_owner, QStringLiteral("--"), executable} +
                          arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        m_failure = QStringLiteral("%1 failed: %2")
                        .arg(program, QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

QString PostgresServer::databaseUrl(const QString &name) {
    if (m_port == 0)
        return {};
    const QStringList where{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                            QStringLiteral("-p"), QString::number(m_port),
                            QStringLiteral("-U"), QStringLiteral("postgres")};
    if (!m_databases.contains(name)) {
        if (!run(QStringLiteral("createdb"), where + QStringList{name}))
            qWarning("%s", qPrintable(m_failure));
        m_databases << name;
    }
    return QStringLiteral("postgresql://postgres@127.0.0.1:%1/%2").arg(m_port).arg(name);
}

QByteArray PostgresServer::dump(const QString &name) {
    QByteArray output;
    run(QStringLiteral("pg_dump"),
        {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
         QString::number(m_port), QStringLiteral("-U"), QStringLiteral("postgres"), name},
        &output);
    return output;
}

} // namespace quillet::test
