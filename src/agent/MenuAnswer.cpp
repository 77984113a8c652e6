#include "agent/MenuAnswer.h"

#include "agent/ScreenAnalysis.h"
#include "agent/TmuxService.h"

#include <QCoroFuture>
#include <QCoroTimer>
#include <QLoggingCategory>
#include <QtConcurrent>
#include <cstdlib>

Q_DECLARE_LOGGING_CATEGORY(lcAgent)

namespace quillet {

QCoro::Task<bool> MenuAnswer::choose(QString paneTarget, int number, QString screen) {
    const std::optional<ScreenAnalysis::MenuCursor> menu = ScreenAnalysis::unnumberedMenu(screen);
    if (!menu || number < 1 || number > menu->options)
        co_return false;
    const int steps = number - 1 - menu->cursor;
    const QString key = steps > 0 ? QStringLiteral("Down") : QStringLiteral("Up");
    for (int i = 0; i < std::abs(steps); ++i)
        co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget, key);
    co_await QCoro::sleepFor(settleTime);
    // Enter on the wrong option would answer something the phone never chose: a menu that
    // wraps around, skips disabled options or was replaced meanwhile gets no Enter.
    const QString after = co_await QtConcurrent::run(&TmuxService::capturePane, paneTarget);
    const std::optional<ScreenAnalysis::MenuCursor> moved = ScreenAnalysis::unnumberedMenu(after);
    if (moved && moved->options == menu->options && moved->cursor == number - 1) {
        co_await QtConcurrent::run(&TmuxService::sendKey, paneTarget, QStringLiteral("Enter"));
        qCInfo(lcAgent, "Reply chose menu option %d with arrow keys, then Enter", number);
    } else {
        qCInfo(lcAgent, "Reply moved the menu cursor but it is not on option %d: Enter held back",
               number);
    }
    co_return true;
}

} // namespace quillet
