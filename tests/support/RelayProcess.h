#pragma once

#include <QHash>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace quillet::test {

// The built quillet-server as a child process on a free loopback port, with its database in
// the test's isolated data folder (or the one given). Stopped with SIGTERM when it goes.
// With QUILLET_TEST_STORE=postgresql the same tests run on PostgreSQL: each database path
// stands for a database of its own in the test process's private PostgreSQL server, so two
// processes given one path share one database there too.
class RelayProcess {
public:
    explicit RelayProcess(QStringList extraArguments = {}, QString database = {});
    ~RelayProcess();
    RelayProcess(const RelayProcess &) = delete;
    RelayProcess &operator=(const RelayProcess &) = delete;

    // Starts it and waits for its "listening" line; false (with the log) when it does not come.
    // Started again after a stop, it comes back on the same port, as a restarted relay would.
    bool start() { return launch() && waitUntilListening(); }
    // The two halves of start(), for several servers starting at once.
    bool launch();
    bool waitUntilListening();
    // SIGTERM, then waits; answers the exit status (-1 after a crash or a hang).
    int stop(int timeoutMs = 15000);

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    quint16 port() const { return m_port; }
    // Requests its /metrics counted for the route (its pattern, "/api/sessions/{}/inputs"; empty
    // for every method or route), every status; -1 unless it was started with
    // "--metrics-listen 127.0.0.1:0".
    qint64 requestsAnswered(const QByteArray &method = {}, const QString &route = {});
    QString database() const { return m_database; }
    // Every byte the store keeps (the SQLite file, or a dump of the PostgreSQL database).
    QByteArray storedData() const;
    static bool onPostgres();
    // Why the chosen store cannot be used here; empty when it can.
    static QString storeUnavailable();
    // Everything it wrote to standard error so far.
    QString log();
    qint64 pid() const { return m_process.processId(); }

private:
    QString postgresName() const {
        return QStringLiteral("relay_%1").arg(qHash(m_database), 0, 16);
    }
    QStringList m_arguments;
    QString m_database;
    QProcess m_process;
    QByteArray m_log;
    quint16 m_port = 0;
    quint16 m_metricsPort = 0;
};

} // namespace quillet::test
