#include "cli/UpCommand.h"

#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "app/LocalServer.h"
#include "cli/AgentCommand.h"
#include "cli/CliParser.h"
#include "cli/PairCommand.h"
#include "cli/TaskRunner.h"
#include "common/ControlText.h"
#include "common/Settings.h"

#include <QHostAddress>
#include <QStandardPaths>
#include <QUrl>

namespace quillet::cli {

namespace {

void step(const QString &line) {
    out() << line << '\n';
    out().flush();
}

// Where the relay on this computer listens and the address it gives: what the command line
// asks for, else what the last run stored, else every address on the default port.
std::optional<LocalServer::Address> localAddress(const CliParser &cli, const QString &stored) {
    LocalServer::Address address;
    if (!stored.isEmpty())
        address = LocalServer::addressOf(stored);
    if (!cli.isSet(QStringLiteral("listen")) && !cli.isSet(QStringLiteral("port")) &&
        !stored.isEmpty())
        return address;
    if (cli.isSet(QStringLiteral("port"))) {
        bool ok = false;
        const uint port = cli.value(QStringLiteral("port")).toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            return std::nullopt;
        address.port = static_cast<quint16>(port);
    }
    if (cli.isSet(QStringLiteral("listen")))
        address.listen = cli.value(QStringLiteral("listen"));
    if (QHostAddress(address.listen).isNull())
        return std::nullopt;
    address.url = LocalServer::publicUrl(address.listen, address.port);
    return address;
}

// Finds or starts the relay on this computer; its URL, or nothing after printing why not.
std::optional<QString> bringUpLocalServer(LocalServer &server, const LocalServer::Address &address,
                                          bool keepServer) {
    const LocalServer::State state =
        TaskRunner::run(server.probe(address.url, address.listen, address.port));
    if (state == LocalServer::State::running) {
        step(QStringLiteral("Server: already running at %1.").arg(address.url));
        return address.url;
    }
    if (state == LocalServer::State::taken) {
        fail(QStringLiteral("port %1 is taken by another program: stop it, or choose another port "
                            "with 'quillet up --port PORT'. Nothing was changed.")
                 .arg(address.port));
        return std::nullopt;
    }
    const LocalServer::Launch launch = LocalServer::userSystemdRuns()
                                           ? LocalServer::Launch::systemdService
                                       : keepServer ? LocalServer::Launch::detachedProcess
                                                    : LocalServer::Launch::process;
    step(QStringLiteral("Server: starting %1 at %2 %3...")
             .arg(LocalServer::executable().value_or(QStringLiteral("quillet-server")), address.url,
                  launch == LocalServer::Launch::systemdService
                      ? QStringLiteral("as a systemd user service")
                  : launch == LocalServer::Launch::detachedProcess
                      ? QStringLiteral("in the background, to keep running")
                      : QStringLiteral("until quillet up stops")));
    const auto failure =
        TaskRunner::run(server.start(address.listen, address.port, address.url, launch));
    if (failure) {
        fail(QStringLiteral("the server did not start: %1").arg(*failure));
        return std::nullopt;
    }
    step(QStringLiteral("Server: running; its data is in %1/Quillet.")
             .arg(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)));
    if (server.detachedPid())
        step(QStringLiteral("Server: keeps running after quillet up; stop it with 'kill %1'.")
                 .arg(server.detachedPid()));
    return address.url;
}

// Signs in to `url`, creating the account when this computer has no passkey for it yet.
bool signIn(const QString &url, const QString &username) {
    AuthViewModel model(APIService::shared());
    TaskRunner::run(model.checkExistingSession());
    if (model.isAuthenticated()) {
        if (Settings::readTextOrEmpty(Settings::agentApiKey).isEmpty())
            TaskRunner::run(model.autoCreateApiKey());
        if (!Settings::readTextOrEmpty(Settings::agentApiKey).isEmpty()) {
            step(QStringLiteral("Account: signed in to %1.").arg(url));
            return true;
        }
    }
    if (LocalServer::hasPasskeyFor(url)) {
        step(QStringLiteral("Account: signing in with this computer's passkey..."));
        TaskRunner::run(model.signIn(url));
    } else {
        step(QStringLiteral("Account: creating the account '%1' with a passkey kept on this "
                            "computer...")
                 .arg(ControlText::escaped(username)));
        TaskRunner::run(model.registerAccount(url, username));
    }
    if (!model.isAuthenticated() || model.errorMessage()) {
        fail(QStringLiteral("%1\nFix that and run 'quillet up' again; 'quillet login --server URL' "
                            "signs in to another server.")
                 .arg(ControlText::escaped(
                     model.errorMessage().value_or(QStringLiteral("Sign-in failed.")))));
        return false;
    }
    step(QStringLiteral("Account: signed in to %1 as %2.")
             .arg(url, ControlText::escaped(model.username().value_or(username))));
    return true;
}

// Shows pairing codes while no phone is paired; false after printing why it could not.
bool pairFirstPhone() {
    int paired = 0;
    try {
        paired = static_cast<int>(TaskRunner::run(APIService::shared().pairedDevices()).size());
    } catch (const std::exception &error) {
        fail(QStringLiteral("the paired phones could not be listed: %1\nRun 'quillet up' again, "
                            "or skip pairing with 'quillet up --no-pair'.")
                 .arg(ControlText::escaped(QString::fromUtf8(error.what()))));
        return false;
    }
    if (paired > 0) {
        step(QStringLiteral("Phone: %1 paired; 'quillet pair' adds another.").arg(paired));
        return true;
    }
    step(QStringLiteral("Phone: none paired yet; pair one with this code ('quillet up --no-pair' "
                        "skips this)."));
    return PairCommand::showCodesUntilPaired() == 0;
}

} // namespace

int UpCommand::run(const QStringList &args) {
    CliParser cli(
        QStringLiteral("quillet up"),
        QStringLiteral("Sets Quillet up and runs it: starts the server on this computer unless "
                       "another one is configured, signs in (creating the account on the first "
                       "run), shows a pairing code until a phone is paired, then watches the "
                       "projects' tmux panes until interrupted, as 'quillet agent' does."));
    cli.addOption({QStringLiteral("listen"),
                   QStringLiteral("Address the server on this computer listens on (default "
                                  "0.0.0.0: phones on the network can reach it)."),
                   QStringLiteral("ADDRESS")});
    cli.addOption({QStringLiteral("port"),
                   QStringLiteral("Port of the server on this computer (default %1).")
                       .arg(LocalServer::defaultPort),
                   QStringLiteral("PORT")});
    cli.addOption({QStringLiteral("username"),
                   QStringLiteral("The new account's user name (default: your login name)."),
                   QStringLiteral("NAME")});
    cli.addOption({QStringLiteral("no-pair"), QStringLiteral("Go to monitoring without pairing "
                                                             "a phone ('quillet pair' does it "
                                                             "later).")});
    cli.addOption({QStringLiteral("keep-server"),
                   QStringLiteral("Leave the server on this computer running when quillet up "
                                  "stops (a systemd user service always keeps running).")});
    if (const auto status = cli.parse(args, 0, 0))
        return *status;

    const QString stored = Settings::readTextOrEmpty(Settings::serverURL);
    const bool local = stored.isEmpty() || Settings::readBool(Settings::localServer);
    LocalServer server;
    QString url = stored;
    if (local) {
        const auto address = localAddress(cli, stored);
        if (!address)
            return cli.fail(QStringLiteral("--listen needs an IP address and --port a number "
                                           "from 1 to 65535"));
        const auto running =
            bringUpLocalServer(server, *address, cli.isSet(QStringLiteral("keep-server")));
        if (!running)
            return 1;
        url = *running;
        if (!Settings::write(Settings::serverURL, url) ||
            !Settings::write(Settings::localServer, true))
            return fail(QStringLiteral("the settings could not be written: %1")
                            .arg(Settings::writeError()));
    } else {
        step(QStringLiteral("Server: using %1.").arg(url));
        if (!TaskRunner::run(server.answers(url)))
            return fail(QStringLiteral("%1 does not answer as a Quillet server: check that it "
                                       "runs, or change it with 'quillet config set serverURL "
                                       "URL'.")
                            .arg(url));
    }

    const QString username = cli.isSet(QStringLiteral("username"))
                                 ? cli.value(QStringLiteral("username"))
                                 : LocalServer::accountName();
    if (!signIn(url, username))
        return 1;
    if (cli.isSet(QStringLiteral("no-pair")))
        step(QStringLiteral("Phone: not paired now; 'quillet pair' pairs one later."));
    else if (!pairFirstPhone())
        return 1;
    step(QStringLiteral("Monitoring: the projects' tmux panes; stop with Ctrl+C."));
    return AgentCommand::monitor();
}

} // namespace quillet::cli
