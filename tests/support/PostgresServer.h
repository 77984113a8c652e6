#pragma once

#include <QString>
#include <QStringList>

namespace quillet::test {

// A PostgreSQL of the test's own: a cluster made by initdb in a folder under /tmp, a server on
// 127.0.0.1 at a free port with its socket in that folder, trust authentication, stopped and
// removed when the object goes. PostgreSQL refuses to run as root, so as root the cluster belongs
// to the "postgres" user (or "nobody").
class PostgresServer {
public:
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    // One server for the whole test process, started at the first call and stopped at its end.
    static PostgresServer &shared();

    // Why it could not start (nothing installed, initdb or the server failed); empty when up.
    QString failure() const { return m_failure; }
    // The URL of database `name`, created on first use.
    QString databaseUrl(const QString &name);
    // Everything database `name` holds, as pg_dump writes it.
    QByteArray dump(const QString &name);

private:
    // Runs a PostgreSQL program as the cluster's owner; false (with the reason kept) on failure.
    bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);
    void stop();

    QString m_bin;
    QString m_owner;
    QString m_dir;
    quint16 m_port = 0;
    QStringList m_databases;
    QString m_failure;
};

} // namespace quillet::test
