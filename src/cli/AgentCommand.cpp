#include "cli/AgentCommand.h"

#include "agent/AgentService.h"
#include "app/AppDelegate.h"
#include "app/HeadlessFrontend.h"
#include "cli/CliParser.h"
#include "cli/ShutdownSignals.h"
#include "projects/ProjectStore.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

Q_LOGGING_CATEGORY(lcAgentCommand, "lorvo.fennick.quillet-mac.AppDelegate")

namespace quillet::cli {

namespace {

// How long a stop waits for the scan in progress before leaving anyway.
constexpr int shutdownGraceMs = 5000;

} // namespace

int AgentCommand::run(const QStringList &args) {
    CliParser cli(
        QStringLiteral("quillet agent"),
        QStringLiteral("Watch the projects' tmux panes without a window: relay the coding "
                       "agents' questions to the server and type the answers back. Runs "
                       "until interrupted (SIGINT or SIGTERM); tmux sessions keep "
                       "running.\nSet QT_LOGGING_RULES=\"lorvo.fennick.quillet-mac.*.debug=true\" "
                       "to see every scan."));
    if (auto status = cli.parse(args, 0, 0))
        return *status;
    return monitor();
}

int AgentCommand::monitor() {
    if (!QCoreApplication::instance())
        return fail(QStringLiteral("agent: no application object"));

    // Routine scan events are debug lines: quiet unless the user asks for them.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("lorvo.fennick.quillet-mac.*.debug=false"));

    HeadlessFrontend frontend;
    AppDelegate delegate(&frontend);
    ShutdownSignals shutdown;
    bool stopping = false;
    QObject::connect(&shutdown, &ShutdownSignals::received, &delegate, [&](int signalNumber) {
        if (stopping)
            return;
        stopping = true;
        qCInfo(lcAgentCommand, "Stopping on signal %d; tmux sessions keep running", signalNumber);
        AgentService *engine = delegate.agentService();
        const bool scanning = engine && engine->isLoopActive();
        if (scanning) {
            QObject::connect(engine, &AgentService::loopFinished, qApp,
                             [] { QCoreApplication::exit(0); });
            QTimer::singleShot(shutdownGraceMs, qApp, [] { QCoreApplication::exit(0); });
        }
        // For good: a recovery or sign-in still in flight must not start it again.
        delegate.stopMonitoring();
        if (!scanning)
            QCoreApplication::exit(0);
    });
    delegate.applicationDidFinishLaunching();
    // Say once that the agent is up, so a quiet terminal is not mistaken for a hang.
    const qsizetype projectCount =
        delegate.projectStore() ? delegate.projectStore()->projects().size() : 0;
    qCInfo(lcAgentCommand, "Quillet agent running with %lld project(s); stop it with Ctrl+C",
           static_cast<long long>(projectCount));
    return QCoreApplication::exec();
}

} // namespace quillet::cli
