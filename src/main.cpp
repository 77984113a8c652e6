#include "cli/CommandLine.h"

#include <QCoreApplication>

int main(int argc, char **argv) {
    QCoreApplication::setApplicationName(QStringLiteral("quillet"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLET_VERSION));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCoreApplication app(argc, argv);
    if (const auto status = quillet::cli::runCommandLine(arguments))
        return *status;
    // Plain `quillet` is the desktop app; until its frontend is wired in, point to the commands.
    quillet::cli::runCommandLine({arguments.first(), QStringLiteral("--help")});
    return 0;
}
