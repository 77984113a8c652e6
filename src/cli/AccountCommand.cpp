#include "cli/AccountCommand.h"

#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "cli/CliParser.h"
#include "cli/TaskRunner.h"
#include "common/Settings.h"

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
        return fail(model.errorMessage().value_or(QStringLiteral("Sign-in failed.")));
    out() << "Signed in to " << Settings::readTextOrEmpty(Settings::serverURL);
    if (model.username())
        out() << " as " << *model.username();
    out() << ".\n";
    if (!Settings::readTextOrEmpty(Settings::agentApiKeyId).isEmpty())
        out() << "The agent key for this computer is stored in the settings.\n";
    out().flush();
    return 0;
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

    AuthViewModel model(APIService::shared());
    out().flush();
    TaskRunner::run(model.registerAccount(cli.value(QStringLiteral("server")),
                                          cli.value(QStringLiteral("username"))));
    return report(model);
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

    AuthViewModel model(APIService::shared());
    out().flush();
    TaskRunner::run(model.signIn(server));
    return report(model);
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
