#include "cli/CommandLine.h"

#include "cli/AccountCommand.h"
#include "cli/AgentCommand.h"
#include "cli/AnalyzeCommand.h"
#include "cli/CliParser.h"
#include "cli/ConfigCommand.h"
#include "cli/DevicesCommand.h"
#include "cli/PairCommand.h"
#include "cli/ProjectsCommand.h"
#include "cli/UpCommand.h"

#include <QCoreApplication>
#include <functional>
#include <map>

namespace quillet::cli {

namespace {

using Handler = std::function<int(const QStringList &)>;

const std::map<QString, Handler> &commands() {
    static const std::map<QString, Handler> table{
        {QStringLiteral("projects"), &ProjectsCommand::run},
        {QStringLiteral("config"), &ConfigCommand::run},
        {QStringLiteral("agent"), &AgentCommand::run},
        {QStringLiteral("analyze"), &AnalyzeCommand::run},
        {QStringLiteral("register"), &AccountCommand::registerAccount},
        {QStringLiteral("login"), &AccountCommand::login},
        {QStringLiteral("logout"), &AccountCommand::logout},
        {QStringLiteral("devices"), &DevicesCommand::run},
        {QStringLiteral("pair"), &PairCommand::run},
        {QStringLiteral("up"), &UpCommand::run},
    };
    return table;
}

} // namespace

QString topLevelHelp() {
    return QStringLiteral(
        "Usage: quillet [COMMAND] [OPTIONS]\n"
        "Relays the questions of coding agents running in tmux to your phone.\n"
        "\n"
        "Without a command, Quillet starts in the system tray.\n"
        "\n"
        "Commands:\n"
        "  up                         Set up (server, account, phone) and run the monitor\n"
        "  projects list|add|remove   Manage the projects Quillet launches and watches\n"
        "  config get|set|unset       Read and change the settings\n"
        "  analyze [FILE|-]           Show what Quillet makes of a captured pane screen\n"
        "  agent                      Run the monitor without a window, until stopped\n"
        "  register                   Create an account with a passkey on this computer\n"
        "  login                      Sign in with this computer's passkey\n"
        "  logout                     Sign out and revoke this computer's agent key\n"
        "  devices [remove ID]        List or disconnect the paired phones\n"
        "  pair                       Pair a phone by QR code or pairing code\n"
        "\n"
        "Options:\n"
        "  -h, --help                 Show this help\n"
        "  -v, --version              Show the version\n"
        "\n"
        "Run 'quillet COMMAND --help' for the options of a command.\n");
}

std::optional<int> runCommandLine(const QStringList &arguments) {
    const QStringList args = arguments.mid(1);
    if (args.isEmpty())
        return std::nullopt;
    const QString first = args.first();
    if (first == QLatin1String("--help") || first == QLatin1String("-h") ||
        first == QLatin1String("help")) {
        out() << topLevelHelp();
        out().flush();
        return 0;
    }
    if (first == QLatin1String("--version") || first == QLatin1String("-v")) {
        out() << "quillet " << QStringLiteral(QUILLET_VERSION) << Qt::endl;
        return 0;
    }
    const auto it = commands().find(first);
    if (it == commands().end()) {
        if (first.startsWith(QLatin1Char('-')))
            return fail(QStringLiteral("unknown option '%1'\nTry 'quillet --help'.").arg(first));
        return fail(QStringLiteral("unknown command '%1'\nTry 'quillet --help'.").arg(first));
    }
    return it->second(args.mid(1));
}

} // namespace quillet::cli
