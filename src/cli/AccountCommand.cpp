#include "cli/AccountCommand.h"

#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "cli/CliParser.h"
#include "cli/TaskRunner.h"
#include "common/ControlText.h"
#include "common/Settings.h"

#include <functional>

namespace quillet::cli {

namespace {

const QCommandLineOption
    serverOption(QStringLiteral("server"),
                 QStringLiteral("The Quillet server, e.g. https://quillet.app"),
                 QStringLiteral("URL"));

// What the flow left behind: its error, or where it signed in and the agent key it made.
int report(const AuthViewModel &model) {
    out().flush();
    if (!model.isAuthenticated())
        return fail(
            ControlText::escaped(model.errorMessage().value_or(QStringLiteral("Sign-in failed."))));
    out() << "Signed in to " << Settings::readTextOrEmpty(Settings::serverURL);
    if (model.username())
        out() << " as " << *model.username();
    out() << ".\n";
    // Signed in, but the agent key was lost on the way to the settings.
    if (model.errorMessage())
        return fail(ControlText::escaped(*model.errorMessage()));
    if (!Settings::readTextOrEmpty(Settings::agentApiKeyId).isEmpty())
        out() << "The agent key for this computer is stored in the settings.\n";
    out().flush();
    return 0;
}

// Runs a sign-in flow against `server`, which is stored only if it succeeds: a typo or an
// unreachable server does not cost the user the server they had.
int signInWith(const QString &server,
               const std::function<QCoro::Task<>(AuthViewModel &, QString)> &flow) {
    if (server.trimmed().isEmpty())
        return fail(QStringLiteral("no server is set: add --server URL"));
    if (!Settings::isServerURL(server.trimmed()))
        return fail(QStringLiteral("'%1' is not an http or https URL; nothing was changed")
                        .arg(ControlText::escaped(server)));
    AuthViewModel model(APIService::shared());
    out().flush();
    TaskRunner::run(flow(model, server));
    return report(model);
}

} // namespace

int AccountCommand::registerAccount(const QStringList &args) {
    CliParser cli(QStringLiteral("quillet register"),
                  QStringLiteral("Creates an account on the server with a new passkey kept on this "
                                 "computer, signs in and creates this computer's agent key."));
    cli.addOption(serverOption);
    cli.addOption({QStringLiteral("username"), QStringLiteral("The account's user name"),
                   QStringLiteral("NAME")});
    if (const auto status = cli.parse(args, 0, 0))
        return *status;
    if (!cli.isSet(QStringLiteral("server")) || !cli.isSet(QStringLiteral("username")))
        return cli.fail(QStringLiteral("--server and --username are required"));

    const QString username = cli.value(QStringLiteral("username"));
    return signInWith(cli.value(QStringLiteral("server")),
                      [&username](AuthViewModel &model, QString server) {
                          return model.registerAccount(std::move(server), username);
                      });
}

int AccountCommand::login(const QStringList &args) {
    CliParser cli(QStringLiteral("quillet login"),
                  QStringLiteral("Signs in with this computer's passkey for the server and creates "
                                 "a new agent key. Without --server, the server of the settings."));
    cli.addOption(serverOption);
    if (const auto status = cli.parse(args, 0, 0))
        return *status;
    const QString server = cli.isSet(QStringLiteral("server"))
                               ? cli.value(QStringLiteral("server"))
                               : Settings::readTextOrEmpty(Settings::serverURL);
    return signInWith(
        server, [](AuthViewModel &model, QString url) { return model.signIn(std::move(url)); });
}

int AccountCommand::logout(const QStringList &args) {
    CliParser cli(QStringLiteral("quillet logout"),
                  QStringLiteral("Revokes this computer's agent key on the server and removes the "
                                 "tokens and the key from this computer. The server URL stays."));
    if (const auto status = cli.parse(args, 0, 0))
        return *status;

    // Named in a failure: once signed out, this computer no longer knows the key.
    const QString keyId = Settings::readTextOrEmpty(Settings::agentApiKeyId);
    AuthViewModel model(APIService::shared());
    const std::optional<QString> failure = TaskRunner::run(model.signOutAndWait());
    out() << "Signed out on this computer.\n";
    if (failure)
        return fail(QStringLiteral("the agent key %1 could not be revoked on the server: %2")
                        .arg(keyId, *failure));
    out().flush();
    return 0;
}

} // namespace quillet::cli
