#pragma once

#include <QString>
#include <QStringView>

namespace quillet {

// Text that came from elsewhere (a server, a phone, a pane) and is about to reach a terminal, a
// log line, an HTTP header or a tmux pane. A C0 or C1 control character or DEL in it would act
// rather than show: move the cursor, forge a log line, end a header, press a key.
class ControlText {
public:
    static bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }
    static bool containsControl(QStringView text);
    // Every control character as a visible escape ("\n", "\t", "\x1b", "\u0085"); backslashes
    // are doubled so an escape in the text cannot pass for one of ours.
    static QString escaped(QStringView text);
    // Line breaks (CR, LF, CRLF) become one blank each and every other control character is
    // dropped: what a one-line answer may carry.
    static QString singleLine(QStringView text);
    // Line breaks are kept as "\n" (CRLF and CR become LF), tabs are kept, every other control
    // character is dropped: what a multi-line text may carry.
    static QString withoutControls(QStringView text);
};

} // namespace quillet
