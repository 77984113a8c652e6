#pragma once

#include "projects/CodingTool.h"

#include <QString>
#include <optional>

namespace quillet {

// Pure text functions over a pane capture (lines separated by line feeds): what the agent is
// asking, a digest to recognise a screen or a question again, and the recent part of the screen
// tidied for the phone. None of them fails: an unusable capture gives an absent or empty result.
class ScreenAnalysis {
public:
    // The question line and the rule that chose it, in words for a person reporting a miss.
    struct QuestionChoice {
        QString text;
        QString rule;
    };
    // A menu without digits: how many options it has and which one the cursor is on (from 0).
    struct MenuCursor {
        int options = 0;
        int cursor = 0;
    };

    // The prompt block (a line that asks, with the lines above it up to the previous block
    // boundary) joined into one line; absent when no line of the screen's end asks.
    static std::optional<QString> extractQuestion(const QString &capture, CodingTool tool);
    // The last `maxLines` lines that are not rules or box drawing, joined by line feeds.
    static std::optional<QString> fallbackQuestion(const QString &capture, CodingTool tool,
                                                   int maxLines);
    // MD5 of the UTF-8 bytes, 32 lower-case hexadecimal digits.
    static QString contentHash(const QString &text);
    // At most `count` lines from the end, starting at the nearest landmark (shell prompt, fence,
    // tool action, rule) above the last four lines when there is one.
    static QString recentLines(const QString &text, int count, CodingTool tool);
    // Runs of rule lines become one "───"; everything else is kept as it is.
    static QString cleanForDisplay(const QString &text);
    // The one line the phone shows as the question: the line that asks above a menu, an input
    // field or a dialog's buttons, never the key hints or the buttons themselves.
    static QString questionText(const QString &capture);
    static QuestionChoice explainQuestion(const QString &capture);
    // The menu at the screen's end when its options carry no digits, recognised by the cursor
    // ("❯ Label") and the options aligned under it; absent otherwise.
    static std::optional<MenuCursor> unnumberedMenu(const QString &capture);
    // True when the capture's last content lines are a numbered menu (the numbered-option pattern,
    // "^[❯>›\s]*\d+\.\s+", on its last content lines): a one-character reply then answers by
    // itself. It is the menu questionText finds: key hints below it are ignored, option
    // descriptions indented under it belong to it, and a numbered list that prose follows, or
    // an input field or dialog buttons at the bottom, are no menu.
    static bool endsInNumberedMenu(const QString &capture);
    // The de-duplication key the monitor uses: extractQuestion, else fallbackQuestion with 5 lines.
    static std::optional<QString> questionKey(const QString &capture, CodingTool tool);
};

} // namespace quillet
