#include "projects/AddProjectAction.h"

#include "projects/ProjectStore.h"

#include <QFileInfo>

namespace quillet {

QString AddProjectAction::trimBlanks(const QString &text) {
    qsizetype start = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (start < end && blank(text.at(start)))
        ++start;
    while (end > start && blank(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

bool AddProjectAction::canAdd(const QString &name, const QString &directory) {
    return !trimBlanks(name).isEmpty() && !trimBlanks(directory).isEmpty();
}

AddProjectAction::Result AddProjectAction::run(ProjectStore &store, const Entries &entries) {
    const QString directory = trimBlanks(entries.directory);
    if (directory.isEmpty() || !QFileInfo::exists(directory))
        return {std::nullopt, QStringLiteral("Directory does not exist.")};
    if (!QFileInfo(directory).isDir())
        return {std::nullopt, QStringLiteral("Not a directory.")};
    const QString name = trimBlanks(entries.name);
    const QString command = trimBlanks(entries.launchCommand);
    const QString session = sessionName(name);
    // Another Quillet process may have added a project since this one last looked.
    store.reloadIfChangedOnDisk();
    for (const Project &existing : store.projects()) {
        if (existing.tmuxSessionName == session)
            return {std::nullopt,
                    QStringLiteral("A project with this session name already exists.")};
    }
    Project project;
    project.id = QUuid::createUuid();
    project.name = name;
    project.directory = directory;
    project.tmuxSessionName = session;
    project.launchCommand = command;
    project.tool = entries.tool;
    project.autoLaunch = entries.autoLaunch;
    // The file keeps whole seconds; keep the same in memory so a reread compares equal.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    project.createdAt = now.addMSecs(-now.time().msec());
    if (!store.add(project))
        return {std::nullopt,
                QStringLiteral("Nothing was changed: the projects file cannot be written (%1).")
                    .arg(store.lastError())};
    return {project, {}};
}

} // namespace quillet
