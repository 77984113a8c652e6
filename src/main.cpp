#include "cli/CommandLine.h"
#include "ui/TrayApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>

namespace {

int runTrayApp(int argc, char **argv) {
    if (const auto reason = quillet::TrayApp::missingDisplay()) {
        std::fputs(qPrintable(*reason), stderr);
        return 1;
    }
    QApplication app(argc, argv);
    // Closing a window hides it; only "Quit Quillet" ends the app.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setDesktopFileName(QStringLiteral("lorvo.fennick.quillet"));
    quillet::TrayApp tray;
    tray.start();
    return QApplication::exec();
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication::setApplicationName(QStringLiteral("quillet"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLET_VERSION));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (arguments.size() <= 1)
        return runTrayApp(argc, argv);
    // Every subcommand runs without a GUI.
    QCoreApplication app(argc, argv);
    return quillet::cli::runCommandLine(arguments).value_or(0);
}
