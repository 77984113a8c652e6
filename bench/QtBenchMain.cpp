// The main of the benchmarks that need an application object and nothing else of their own.
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <benchmark/benchmark.h>

int main(int argc, char **argv) {
    // Private XDG folders and tmux socket folder: the user's tmux server is never touched.
    quillet::test::TestEnvironment environment;
    QCoreApplication app(argc, argv);
    // The engine's log lines (a "Request failed" per refused request among them) would drown the
    // figures.
    QLoggingCategory::setFilterRules(QStringLiteral("lorvo.fennick.quillet-mac.*=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
