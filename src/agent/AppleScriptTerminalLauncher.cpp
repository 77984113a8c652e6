#include "agent/AppleScriptTerminalLauncher.h"

#include <QProcess>
#include <algorithm>

namespace quillet {

QString AppleScriptTerminalLauncher::shellQuote(const QString &argument) {
    // "=" is left out on purpose: zsh expands a word that starts with it to a command's path.
    const auto plain = [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
               QStringView(u"_-./:@%+,").contains(c);
    };
    if (!argument.isEmpty() && std::all_of(argument.cbegin(), argument.cend(), plain))
        return argument;
    QString quoted = argument;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString AppleScriptTerminalLauncher::appleScriptEscape(const QString &text) {
    QString escaped;
    escaped.reserve(text.size());
    for (QChar c : text) {
        if (c == u'\\' || c == u'"')
            escaped.append(QLatin1Char('\\')).append(c);
        else if (c == u'\n')
            escaped.append(QLatin1String("\\n"));
        else if (c == u'\r')
            escaped.append(QLatin1String("\\r"));
        else if (c == u'\t')
            escaped.append(QLatin1String("\\t"));
        else
            escaped.append(c);
    }
    return escaped;
}

QString AppleScriptTerminalLauncher::script(const QStringList &command) {
    QStringList words;
    for (const QString &argument : command)
        words << shellQuote(argument);
    return QStringLiteral("tell application \"Terminal\"\n"
                          "    activate\n"
                          "    do script \"%1\"\n"
                          "end tell")
        .arg(appleScriptEscape(words.join(QLatin1Char(' '))));
}

bool AppleScriptTerminalLauncher::open(const QStringList &command, QString *error) {
    QProcess process;
    const QStringList arguments{QStringLiteral("-e"), script(command)};
    process.start(QStringLiteral("/usr/bin/osascript"), arguments);
    if (!process.waitForStarted()) {
        if (error)
            *error = process.errorString();
        return false;
    }
    process.waitForFinished(-1);
    return true;
}

} // namespace quillet
