#pragma once

#include <QCoroTask>
#include <QString>
#include <chrono>

namespace quillet {

// Answers a menu whose options carry no digits ("❯ No, exit" above "  Yes, I trust this folder"):
// such a menu ignores a typed digit, so the reply's number moves the cursor with arrow keys, and
// Enter is pressed only once the cursor is seen on that option.
class MenuAnswer {
public:
    static constexpr std::chrono::milliseconds settleTime{500};

    // Chooses option `number` (from 1) of the unnumbered menu on `screen` in the pane. False when
    // the screen shows no such menu or the menu has no such option: the reply is then typed as
    // text. True when the keys were sent, Enter included or held back.
    static QCoro::Task<bool> choose(QString paneTarget, int number, QString screen);
};

} // namespace quillet
