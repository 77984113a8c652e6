#include "support/RelayProcess.h"

#include "support/HttpClient.h"
#include "support/PostgresServer.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>
#include <csignal>

namespace quillet::test {

RelayProcess::RelayProcess(QStringList extraArguments, QString database)
    : m_arguments(std::move(extraArguments)), m_database(std::move(database)) {
    if (m_database.isEmpty())
        m_database = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                     QStringLiteral("/Quillet/server.sqlite");
}

bool RelayProcess::onPostgres() {
    return qgetenv("QUILLET_TEST_STORE") == "postgresql";
}

QString RelayProcess::storeUnavailable() {
    return onPostgres() ? PostgresServer::shared().failure() : QString();
}

QByteArray RelayProcess::storedData() const {
    if (onPostgres())
        return PostgresServer::shared().dump(postgresName());
    QFile file(m_database);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

RelayProcess::~RelayProcess() {
    if (m_process.state() != QProcess::NotRunning)
        stop();
}

bool RelayProcess::launch() {
    const QString database =
        onPostgres() ? PostgresServer::shared().databaseUrl(postgresName()) : m_database;
    // The public URL gives the software authenticator's origin for the loopback host.
    const QStringList arguments{"--listen",        "127.0.0.1",  "--port", QString::number(m_port),
                                "--quiet",         "--database", database, "--public-url",
                                "http://localhost"};
    m_log.clear();
    m_process.start(QStringLiteral(QUILLET_SERVER_BINARY), arguments + m_arguments);
    return m_process.waitForStarted();
}

bool RelayProcess::waitUntilListening() {
    // No blanks and no line breaks in the address: the next log line (the first retention purge,
    // say) may come in the same read, and its time of day must not pass for the port.
    static const QRegularExpression listening(QStringLiteral("listening on \\S+:(\\d+)"));
    static const QRegularExpression metrics(QStringLiteral("metrics on \\S+:(\\d+)"));
    const bool up = QTest::qWaitFor(
        [&] {
            m_log += m_process.readAllStandardError();
            const auto match = listening.match(QString::fromUtf8(m_log));
            if (match.hasMatch())
                m_port = quint16(match.captured(1).toUInt());
            return match.hasMatch() || m_process.state() == QProcess::NotRunning;
        },
        20000);
    if (!up || m_port == 0) {
        qWarning("quillet-server did not start: %s", m_log.constData());
        return false;
    }
    m_metricsPort = quint16(metrics.match(QString::fromUtf8(m_log)).captured(1).toUInt());
    return true;
}

qint64 RelayProcess::requestsAnswered(const QByteArray &method, const QString &route) {
    if (m_metricsPort == 0)
        return -1;
    const HttpAnswer page =
        HttpClient(QStringLiteral("http://127.0.0.1:%1").arg(m_metricsPort)).get("/metrics");
    if (page.status != 200)
        return -1;
    static const QRegularExpression counter(
        QStringLiteral(
            "^quillet_requests_total\\{method=\"([^\"]*)\",route=\"([^\"]*)\",.*\\} (\\d+)$"),
        QRegularExpression::MultilineOption);
    qint64 count = 0;
    for (const auto &match : counter.globalMatch(QString::fromUtf8(page.body))) {
        if ((method.isEmpty() || match.captured(1) == QLatin1String(method)) &&
            (route.isEmpty() || match.captured(2) == route))
            count += match.captured(3).toLongLong();
    }
    return count;
}

int RelayProcess::stop(int timeoutMs) {
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished();
        return -1;
    }
    m_log += m_process.readAllStandardError();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QString RelayProcess::log() {
    m_log += m_process.readAllStandardError();
    return QString::fromUtf8(m_log);
}

} // namespace quillet::test
