#pragma once

#include <QStringList>

namespace quillet::cli {

// `quillet projects list|add|remove`: the same file and the same checks as the projects window.
class ProjectsCommand {
public:
    static int run(const QStringList &args);

private:
    static int list(const QStringList &args);
    static int add(const QStringList &args);
    static int remove(const QStringList &args);
};

} // namespace quillet::cli
