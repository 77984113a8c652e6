#pragma once

#include "agent/TerminalLauncher.h"

namespace quillet {

// macOS: runs /usr/bin/osascript with a script that tells Terminal to run the command in a new
// window. Built on every platform so the quoting is tested everywhere.
class AppleScriptTerminalLauncher : public TerminalLauncher {
public:
    bool open(const QStringList &command, QString *error) override;

    // The four-line Terminal script. Terminal hands "do script" text to the login shell, so each
    // argument is quoted for the shell first and the whole line then escaped for the AppleScript
    // string: a session name can be typed freely, and must never become code in either language.
    static QString script(const QStringList &command);
    // One word for sh and zsh: unchanged when it holds only characters neither shell treats
    // specially, otherwise in single quotes.
    static QString shellQuote(const QString &argument);
    // The contents of an AppleScript string literal (without the surrounding quotes).
    static QString appleScriptEscape(const QString &text);
};

} // namespace quillet
