#include "cli/ProjectsCommand.h"

#include "cli/CliParser.h"
#include "projects/AddProjectAction.h"
#include "projects/ProjectCodec.h"
#include "projects/ProjectStore.h"

#include <QDir>
#include <QFileInfo>

namespace quillet::cli {

namespace {

QString toolChoices() {
    QStringList names;
    for (CodingTool tool : allCodingTools)
        names << rawValue(tool);
    return names.join(QLatin1Char('|'));
}

void printProject(const Project &p) {
    out() << p.name << "\n"
          << "  id:        " << p.idText() << "\n"
          << "  directory: " << p.directory << "\n"
          << "  session:   " << p.tmuxSessionName << "\n"
          << "  tool:      " << rawValue(p.tool) << " (" << displayName(p.tool) << ")\n"
          << "  command:   " << p.launchCommand << "\n"
          << "  auto-launch: " << (p.autoLaunch ? "yes" : "no") << "\n";
}

ProjectStore &loadedStore() {
    static ProjectStore store;
    static bool loaded = false;
    if (!loaded) {
        store.load();
        loaded = true;
    }
    return store;
}

} // namespace

int ProjectsCommand::run(const QStringList &args) {
    const QString sub = args.value(0);
    if (sub == QLatin1String("list"))
        return list(args.mid(1));
    if (sub == QLatin1String("add"))
        return add(args.mid(1));
    if (sub == QLatin1String("remove"))
        return remove(args.mid(1));
    if (sub.isEmpty() || sub == QLatin1String("--help") || sub == QLatin1String("-h")) {
        out() << "Usage: quillet projects list|add|remove [OPTIONS]\n"
                 "Manage the projects Quillet launches and watches.\n\n"
                 "  list     Show the projects in their order\n"
                 "  add      Add a project\n"
                 "  remove   Remove a project by id or tmux session name\n\n"
                 "Run 'quillet projects COMMAND --help' for the options of a command.\n";
        out().flush();
        return sub.isEmpty() ? 1 : 0;
    }
    return fail(
        QStringLiteral("unknown command 'projects %1'\nTry 'quillet projects --help'.").arg(sub));
}

int ProjectsCommand::list(const QStringList &args) {
    CliParser cli(QStringLiteral("quillet projects list"),
                  QStringLiteral("Show the projects in their order."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the projects file's JSON array."));
    cli.addOption(json);
    if (auto status = cli.parse(args, 0, 0))
        return *status;
    const ProjectStore &store = loadedStore();
    // An empty list here would read as "no projects", and the user would start over.
    if (const auto problem = store.readError())
        return fail(QStringLiteral("cannot read the projects file %1: %2\n"
                                   "The next change ('quillet projects add' or 'remove') moves it "
                                   "aside to %1.corrupt-<UTC date and time> and starts a new one.")
                        .arg(store.filePath(), *problem));
    if (cli.isSet(json.names().first())) {
        out() << ProjectCodec::encode(store.projects()) << "\n";
        out().flush();
        return 0;
    }
    if (store.projects().isEmpty()) {
        out() << "No projects. Add one with 'quillet projects add --name NAME --directory DIR'.\n";
        out().flush();
        return 0;
    }
    for (const Project &p : store.projects())
        printProject(p);
    out().flush();
    return 0;
}

int ProjectsCommand::add(const QStringList &args) {
    CliParser cli(
        QStringLiteral("quillet projects add"),
        QStringLiteral("Add a project: a directory, a tmux session and a launch command."));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("The project's name."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption directory(QStringLiteral("directory"),
                                       QStringLiteral("The working directory."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption tool(
        QStringLiteral("tool"),
        QStringLiteral("The coding tool: %1 (default claude-code).").arg(toolChoices()),
        QStringLiteral("TOOL"), QStringLiteral("claude-code"));
    const QCommandLineOption command(
        QStringLiteral("command"),
        QStringLiteral("The command typed into the session (default: the tool's own)."),
        QStringLiteral("CMD"));
    const QCommandLineOption autoLaunch(QStringLiteral("auto-launch"),
                                        QStringLiteral("Launch the project when Quillet starts."));
    for (const auto &option : {name, directory, tool, command, autoLaunch})
        cli.addOption(option);
    if (auto status = cli.parse(args, 0, 0))
        return *status;

    const auto chosenTool = codingToolFromRawValue(cli.value(QStringLiteral("tool")));
    if (!chosenTool)
        return cli.fail(QStringLiteral("unknown tool '%1' (choose %2)")
                            .arg(cli.value(QStringLiteral("tool")), toolChoices()));
    AddProjectAction::Entries entries;
    entries.name = cli.value(QStringLiteral("name"));
    entries.tool = *chosenTool;
    entries.launchCommand = cli.isSet(QStringLiteral("command"))
                                ? cli.value(QStringLiteral("command"))
                                : defaultLaunchCommand(*chosenTool);
    entries.autoLaunch = cli.isSet(QStringLiteral("auto-launch"));
    // The window takes a path as chosen; on the command line a relative path means "from here".
    const QString dir = AddProjectAction::trimBlanks(cli.value(QStringLiteral("directory")));
    entries.directory = dir.isEmpty() ? dir : QDir::cleanPath(QFileInfo(dir).absoluteFilePath());

    if (AddProjectAction::trimBlanks(entries.name).isEmpty())
        return cli.fail(QStringLiteral("a project needs a name (--name NAME)"));
    if (entries.directory.isEmpty())
        return cli.fail(QStringLiteral("a project needs a directory (--directory DIR)"));
    if (sessionName(AddProjectAction::trimBlanks(entries.name)).isEmpty())
        return fail(QStringLiteral("The name \"%1\" gives no tmux session name: use at least one "
                                   "letter or digit.")
                        .arg(entries.name));

    const AddProjectAction::Result result = AddProjectAction::run(loadedStore(), entries);
    if (!result.project)
        return fail(result.errorMessage);
    printProject(*result.project);
    out().flush();
    return 0;
}

int ProjectsCommand::remove(const QStringList &args) {
    CliParser cli(QStringLiteral("quillet projects remove"),
                  QStringLiteral("Remove a project. Its tmux session, if running, keeps running."));
    cli.addPositional(QStringLiteral("project"),
                      QStringLiteral("The project's id or its tmux session name."),
                      QStringLiteral("ID-or-SESSION-NAME"));
    if (auto status = cli.parse(args, 1, 1))
        return *status;
    const QString key = cli.positional().first();
    ProjectStore &store = loadedStore();
    store.reloadIfChangedOnDisk();
    const auto id = ProjectCodec::parseUuid(key);
    for (const Project &p : store.projects()) {
        if ((id && p.id == *id) || p.tmuxSessionName == key) {
            const Project removed = p;
            if (!store.remove(removed.id))
                return fail(QStringLiteral("nothing was changed: the projects file cannot be "
                                           "written (%1)")
                                .arg(store.lastError()));
            out() << "Removed " << removed.name << " (" << removed.idText() << ")\n";
            out().flush();
            return 0;
        }
    }
    return fail(QStringLiteral("no project has the id or session name '%1'").arg(key));
}

} // namespace quillet::cli
