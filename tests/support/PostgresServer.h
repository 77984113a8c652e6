#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>

namespace quillet::test {

// A PostgreSQL of the test process's own: a cluster made by initdb in a folder under /tmp, served
// on 127.0.0.1 at a free port with trust authentication, stopped and removed at the process's
// end. PostgreSQL refuses to run as root, so as root the cluster belongs to the "postgres" user.
class PostgresServer {
public:
    // The one server, started at the first call.
    static PostgresServer &shared();
    ~PostgresServer();

    // Why it could not start; empty when it runs.
    QString failure() const { return m_failure; }
    // The URL of database `name`, created on first use.
    QString databaseUrl(const QString &name);
    // Everything database `name` holds, as pg_dump writes it.
    QByteArray dump(const QString &name);
    // What psql prints for `sql` run in database `name`, unaligned and without headers.
    QByteArray query(const QString &name, const QString &sql);

private:
    PostgresServer();
    // Runs one of PostgreSQL's programs as the cluster's owner; its output, or nothing (with
    // the failure kept).
    std::optional<QByteArray> run(const QString &program, QStringList arguments);

    QString m_bin;
    QTemporaryDir m_dir{QStringLiteral("/tmp/quillet-pg-XXXXXX")};
    QString m_port;
    QStringList m_databases;
    QString m_failure;
};

} // namespace quillet::test
