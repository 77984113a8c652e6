// What the monitor computes from one pane capture, on screens dense with box drawing and wide
// characters, and the list-panes parser. Target: the whole analysis of a 40-line screen well
// under 1 ms.
#include "agent/ScreenAnalysis.h"
#include "agent/TmuxService.h"

#include <QStringList>
#include <benchmark/benchmark.h>

using namespace quillet;

namespace {

QString rule(int width) {
    return QString(width, QChar(u'─'));
}

// `lines` rows: agent output with CJK text and emoji, a diff box, and a permission menu with a
// hint footer at the bottom, the shape the question finder works hardest on.
QString denseScreen(int lines) {
    const QStringList output{
        QStringLiteral("⏺ 正在更新配置加载器 src/配置/加载.py，让较慢的镜像不再失败 "
                       "🚀"),
        QStringLiteral("  ⎿  Read 120 lines (ctrl+r to expand) · 読み込み完了 ✅"),
        QStringLiteral("⏺ Bash(cmake --build build -j2 && ctest --output-on-failure)"),
        QStringLiteral("  ⎿  [ 42%] Building CXX object src/CMakeFiles/core.dir/解析.cpp.o"),
        QStringLiteral("     테스트 통과: 214 / 214 — 所要時間 3.2 s ░▒▓█ 100%"),
        QStringLiteral("│ │   13 -  TIMEOUT = 10   # 超时（秒）                              │ │"),
    };
    const QStringList prompt{
        QStringLiteral("╭") + rule(76) + QStringLiteral("╮"),
        QStringLiteral(
            "│ Edit file                                                                  │"),
        QStringLiteral("│ ╭") + rule(72) + QStringLiteral("╮ │"),
        QStringLiteral(
            "│ │ src/配置.py                                                           │ │"),
        QStringLiteral("│ │   13 +  TIMEOUT = 30   # 超时（秒）                              │ │"),
        QStringLiteral("│ ╰") + rule(72) + QStringLiteral("╯ │"),
        QStringLiteral(
            "│ Do you want to make this edit to 配置.py?                                 │"),
        QStringLiteral(
            "│ ❯ 1. Yes                                                                   │"),
        QStringLiteral(
            "│   2. Yes, allow all edits during this session (shift+tab)                  │"),
        QStringLiteral(
            "│   3. No, and tell Claude what to do differently (esc)                      │"),
        QStringLiteral("╰") + rule(76) + QStringLiteral("╯"),
        QStringLiteral("  Esc to cancel · Tab to amend · ctrl+e to explain"),
    };
    QStringList screen;
    while (screen.size() < lines - prompt.size())
        screen << output[screen.size() % output.size()];
    screen << prompt;
    return screen.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

// Everything one scan derives from a capture: the baseline digest, the question key and its
// digest, the question line, whether a digit alone answers, the context and the streamed screen.
void analyseOnce(const QString &capture) {
    benchmark::DoNotOptimize(ScreenAnalysis::contentHash(capture));
    const std::optional<QString> key = ScreenAnalysis::questionKey(capture, CodingTool::claudeCode);
    if (key)
        benchmark::DoNotOptimize(ScreenAnalysis::contentHash(*key));
    benchmark::DoNotOptimize(ScreenAnalysis::questionText(capture));
    benchmark::DoNotOptimize(ScreenAnalysis::endsInNumberedMenu(capture));
    benchmark::DoNotOptimize(ScreenAnalysis::cleanForDisplay(
        ScreenAnalysis::recentLines(capture, 50, CodingTool::claudeCode)));
    benchmark::DoNotOptimize(ScreenAnalysis::cleanForDisplay(
        ScreenAnalysis::recentLines(capture, 100, CodingTool::claudeCode)));
}

void BM_WholeAnalysis(benchmark::State &state) {
    const QString capture = denseScreen(int(state.range(0)));
    for (auto _ : state)
        analyseOnce(capture);
}
BENCHMARK(BM_WholeAnalysis)->Arg(40)->Arg(200)->Unit(benchmark::kMicrosecond);

void BM_QuestionText(benchmark::State &state) {
    const QString capture = denseScreen(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(ScreenAnalysis::questionText(capture));
}
BENCHMARK(BM_QuestionText)->Arg(40)->Arg(200)->Unit(benchmark::kMicrosecond);

void BM_QuestionKey(benchmark::State &state) {
    const QString capture = denseScreen(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(ScreenAnalysis::questionKey(capture, CodingTool::claudeCode));
}
BENCHMARK(BM_QuestionKey)->Arg(40)->Arg(200)->Unit(benchmark::kMicrosecond);

void BM_StreamedScreen(benchmark::State &state) {
    const QString capture = denseScreen(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(ScreenAnalysis::cleanForDisplay(
            ScreenAnalysis::recentLines(capture, 100, CodingTool::claudeCode)));
}
BENCHMARK(BM_StreamedScreen)->Arg(40)->Arg(200)->Unit(benchmark::kMicrosecond);

void BM_ParsePaneLines(benchmark::State &state) {
    QString output;
    for (int i = 0; i < state.range(0); ++i)
        output += QStringLiteral("项目-%1\t%2.%3\tclaude\t⏺ Claude Code  —  refactor  parser\n")
                      .arg(i / 8)
                      .arg(i / 4 % 2)
                      .arg(i % 4);
    for (auto _ : state)
        benchmark::DoNotOptimize(TmuxService::parsePaneLines(output));
}
BENCHMARK(BM_ParsePaneLines)->Arg(200)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
