#include "app/LocalServer.h"

#include "api/KeychainService.h"
#include "api/SoftwareAuthenticator.h"
#include "common/ApiRoutes.h"
#include "common/LanAddress.h"

#include <QCoreApplication>
#include <QCoroProcess>
#include <QCoroTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QUrl>
#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace quillet {

using namespace std::chrono_literals;

namespace {

const QString unitName = QStringLiteral("quillet-server.service");
// How long a started relay may take to answer: opening and migrating its database included.
constexpr auto startLimit = 20s;

QString executableOverride;

QString userUnitFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/systemd/user");
}

bool writeFile(const QString &path, const QByteArray &content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.commit();
}

QString lastLogLine() {
    QFile log(LocalServer::logFilePath());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    if (log.size() > 4096)
        log.seek(log.size() - 4096);
    const QStringList lines =
        QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last().trimmed();
}

} // namespace

LocalServer::LocalServer(QObject *parent) : QObject(parent) {
    // A probe is a question to this computer: an answer comes at once or not at all.
    m_http.setTimeout(2s);
}

LocalServer::~LocalServer() {
    if (!ownsProcess())
        return;
    // SIGTERM lets the relay drain its held requests and close its database.
    m_child->terminate();
    if (!m_child->waitForFinished(15000))
        m_child->kill();
}

QString LocalServer::publicUrl(const QString &listenAddress, quint16 port) {
    const bool anyAddress =
        listenAddress == QLatin1String("0.0.0.0") || listenAddress == QLatin1String("::");
    QString host = anyAddress ? LanAddress::first() : listenAddress;
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("http://%1:%2").arg(host).arg(port);
}

void LocalServer::setExecutableForTesting(const QString &path) {
    executableOverride = path;
}

QString LocalServer::accountName() {
    if (const passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_name)
        return QString::fromLocal8Bit(entry->pw_name);
    return qEnvironmentVariable("USER", QStringLiteral("me"));
}

bool LocalServer::hasPasskeyFor(const QString &url) {
    return KeychainService::shared()
        .load(SoftwareAuthenticator::storageKey(QUrl(url).host()))
        .has_value();
}

std::optional<QString> LocalServer::executable() {
    if (!executableOverride.isEmpty())
        return executableOverride;
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString &candidate : {here + QStringLiteral("/quillet-server"),
                                     here + QStringLiteral("/server/quillet-server")}) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    const QString found = QStandardPaths::findExecutable(QStringLiteral("quillet-server"));
    if (found.isEmpty())
        return std::nullopt;
    return found;
}

bool LocalServer::userSystemdRuns() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFile::exists(runtime + QStringLiteral("/systemd/private"));
}

QString LocalServer::logFilePath() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Quillet/server.log");
}

QCoro::Task<bool> LocalServer::answers(QString url) {
    QNetworkRequest request(QUrl(url + QString::fromLatin1(ApiRoutes::health)));
    const HttpResult result = co_await m_http.send(request, "GET", std::nullopt);
    if (result.status != 200)
        co_return false;
    const QJsonObject body = QJsonDocument::fromJson(result.body).object();
    co_return body.value(QStringLiteral("status")).toString() == QLatin1String("ok");
}

QCoro::Task<LocalServer::State> LocalServer::probe(QString url, QString listenAddress,
                                                   quint16 port) {
    if (co_await answers(url))
        co_return State::running;
    // Whatever holds the port, if anything, is not the relay: binding it tells which.
    QTcpServer trial;
    if (trial.listen(QHostAddress(listenAddress), port))
        co_return State::free;
    co_return State::taken;
}

LocalServer::Address LocalServer::addressOf(const QString &url) {
    const QUrl parsed(url);
    Address address;
    if (QHostAddress(parsed.host()).isLoopback())
        address.listen = parsed.host();
    address.port = static_cast<quint16>(parsed.port(defaultPort));
    address.url = url;
    return address;
}

QCoro::Task<std::optional<QString>> LocalServer::ensureRunning(QString url) {
    const Address address = addressOf(url);
    const State state = co_await probe(url, address.listen, address.port);
    if (state == State::running)
        co_return std::nullopt;
    if (state == State::taken)
        co_return QStringLiteral("Port %1 is taken by another program: stop it, or use another "
                                 "server.")
            .arg(address.port);
    co_return co_await start(address.listen, address.port, url,
                             userSystemdRuns() ? Launch::systemdService : Launch::process);
}

QCoro::Task<std::optional<QString>> LocalServer::start(QString listenAddress, quint16 port,
                                                       QString url, Launch launch) {
    const std::optional<QString> program = executable();
    if (!program)
        co_return QStringLiteral("quillet-server was not found beside quillet or on PATH: install "
                                 "the quillet package, or build the quillet-server target.");
    const QStringList arguments{QStringLiteral("--listen"),     listenAddress,
                                QStringLiteral("--port"),       QString::number(port),
                                QStringLiteral("--public-url"), url,
                                QStringLiteral("--quiet")};
    if (launch == Launch::systemdService) {
        const QStringList command = QStringList(*program) + arguments;
        if (const auto failure = co_await startService(command))
            co_return failure;
        co_return co_await waitUntilAnswering(
            url, QStringLiteral("see 'journalctl --user -u quillet-server'"));
    }

    QDir().mkpath(QFileInfo(logFilePath()).absolutePath());
    auto *process = new QProcess(this);
    process->setProgram(*program);
    process->setArguments(arguments);
    process->setStandardOutputFile(logFilePath(), QIODevice::Append);
    process->setStandardErrorFile(logFilePath(), QIODevice::Append);
    process->setStandardInputFile(QProcess::nullDevice());
    if (launch == Launch::detachedProcess) {
        // Its own session: the terminal's Ctrl-C and hang-up are not for it.
        process->setChildProcessModifier([] { ::setsid(); });
        const bool started = process->startDetached(&m_detachedPid);
        process->deleteLater();
        if (!started)
            co_return QStringLiteral("quillet-server could not be started: %1")
                .arg(process->errorString());
    } else {
        // Ended with us even when we are killed without a chance to stop it.
        process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_child = process;
        process->start();
        if (!co_await qCoro(process).waitForStarted())
            co_return QStringLiteral("quillet-server could not be started: %1")
                .arg(process->errorString());
    }
    co_return co_await waitUntilAnswering(url, QStringLiteral("see ") + logFilePath());
}

QCoro::Task<std::optional<QString>> LocalServer::waitUntilAnswering(QString url, QString logHint) {
    QPointer<LocalServer> self(this);
    const auto deadline = std::chrono::steady_clock::now() + startLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (co_await answers(url))
            co_return std::nullopt;
        if (!self)
            co_return QStringLiteral("stopped");
        if (m_child && m_child->state() == QProcess::NotRunning) {
            const QString why = lastLogLine();
            co_return QStringLiteral("quillet-server stopped at once%1 (%2).")
                .arg(why.isEmpty() ? QString() : QStringLiteral(": ") + why, logHint);
        }
        co_await QCoro::sleepFor(250ms);
    }
    co_return QStringLiteral("quillet-server did not answer at %1 within %2 seconds (%3).")
        .arg(url)
        .arg(std::chrono::seconds(startLimit).count())
        .arg(logHint);
}

QCoro::Task<bool> LocalServer::systemctl(QStringList arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    const QStringList userArguments = QStringList{QStringLiteral("--user")} + arguments;
    co_await qCoro(process).start(QStringLiteral("systemctl"), userArguments);
    co_await qCoro(process).waitForFinished(30000);
    // A systemctl that never ran has no exit code to read: its default 0 is no success.
    if (process.error() == QProcess::FailedToStart) {
        qWarning("systemctl %s: %s", qUtf8Printable(userArguments.join(QLatin1Char(' '))),
                 qUtf8Printable(process.errorString()));
        co_return false;
    }
    const bool succeeded = process.state() == QProcess::NotRunning &&
                           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    co_return succeeded;
}

QCoro::Task<std::optional<QString>> LocalServer::startService(QStringList command) {
    const QString folder = userUnitFolder();
    // The package installs the unit; a build from source has none, so it gets one of its own.
    const QStringList cat{QStringLiteral("cat"), unitName};
    if (!co_await systemctl(cat)) {
        const QByteArray unit = QStringLiteral("[Unit]\n"
                                               "Description=Quillet relay on this computer\n\n"
                                               "[Service]\n"
                                               "ExecStart=%1 --quiet\n"
                                               "Restart=on-failure\n"
                                               "RestartSec=5\n\n"
                                               "[Install]\n"
                                               "WantedBy=default.target\n")
                                    .arg(command.first())
                                    .toUtf8();
        if (!writeFile(folder + QLatin1Char('/') + unitName, unit))
            co_return QStringLiteral("%1 could not be written: check that the folder is writable.")
                .arg(folder + QLatin1Char('/') + unitName);
    }
    // Where it listens and the address it gives phones go in a drop-in of ours, so the unit
    // itself stays the package's.
    QByteArray dropIn = "[Service]\n";
    for (qsizetype i = 1; i + 1 < command.size(); i += 2) {
        const QString option =
            command.at(i).mid(2).toUpper().replace(QLatin1Char('-'), QLatin1Char('_'));
        dropIn += QStringLiteral("Environment=QUILLET_SERVER_%1=%2\n")
                      .arg(option, command.at(i + 1))
                      .toUtf8();
    }
    const QString dropInPath = folder + QLatin1Char('/') + unitName + QStringLiteral(".d/up.conf");
    if (!writeFile(dropInPath, dropIn))
        co_return QStringLiteral("%1 could not be written: check that the folder is writable.")
            .arg(dropInPath);
    const QStringList reload{QStringLiteral("daemon-reload")};
    const QStringList enable{QStringLiteral("enable"), unitName};
    const QStringList restart{QStringLiteral("restart"), unitName};
    if (!co_await systemctl(reload) || !co_await systemctl(enable) || !co_await systemctl(restart))
        co_return QStringLiteral("systemctl --user could not start %1: see 'systemctl --user "
                                 "status quillet-server'.")
            .arg(unitName);
    co_return std::nullopt;
}

} // namespace quillet
