#include "cli/ConfigCommand.h"

#include "app/LoginItem.h"
#include "cli/CliParser.h"
#include "common/ControlText.h"
#include "common/Settings.h"

#include <cmath>
#include <optional>

namespace quillet::cli {

namespace {

enum class Kind { url, text, number, wholeNumber, boolean };

struct Key {
    QString name;
    Kind kind;
    double low = 0;
    double high = 0;
    QString unit;
    QString fallback; // what Quillet uses while the key is unset
};

const QList<Key> &keys() {
    static const QList<Key> table{
        {Settings::serverURL, Kind::url, 0, 0, {}, Settings::defaultServerURL},
        {Settings::agentApiKey, Kind::text, 0, 0, {}, {}},
        {Settings::agentApiKeyId, Kind::text, 0, 0, {}, {}},
        {Settings::pollInterval, Kind::number, 1, 10, QStringLiteral("seconds"),
         QStringLiteral("3")},
        {Settings::idleThreshold, Kind::number, 3, 15, QStringLiteral("seconds"),
         QStringLiteral("5")},
        {Settings::contextLines, Kind::wholeNumber, 10, 100, QStringLiteral("lines"),
         QStringLiteral("50")},
        {Settings::notificationSound, Kind::boolean, 0, 0, {}, QStringLiteral("false")},
        {Settings::launchAtLogin, Kind::boolean, 0, 0, {}, QStringLiteral("false")},
        {Settings::watchAllSessions, Kind::boolean, 0, 0, {}, QStringLiteral("true")},
        // Set by `quillet up` and the first-run window: the relay runs on this computer.
        {Settings::localServer, Kind::boolean, 0, 0, {}, QStringLiteral("false")},
    };
    return table;
}

const Key *findKey(const QString &name) {
    for (const Key &key : keys()) {
        if (key.name == name)
            return &key;
    }
    return nullptr;
}

QString keyNames() {
    QStringList names;
    for (const Key &key : keys())
        names << key.name;
    return names.join(QStringLiteral(", "));
}

int unknownKey(const QString &name) {
    return fail(QStringLiteral("unknown key '%1' (known keys: %2)").arg(name, keyNames()));
}

// The value to store, or an error message; nothing is written on error.
std::optional<QVariant> parseValue(const Key &key, const QString &text, QString *error) {
    switch (key.kind) {
    case Kind::url:
        if (!Settings::isServerURL(text)) {
            *error =
                QStringLiteral("'%1' is not an http or https URL").arg(ControlText::escaped(text));
            return std::nullopt;
        }
        return QVariant(text);
    case Kind::text:
        // These go into request headers, where a line break would start a header of its own.
        if (ControlText::containsControl(text)) {
            *error = QStringLiteral("%1 must not contain control characters ('%2')")
                         .arg(key.name, ControlText::escaped(text));
            return std::nullopt;
        }
        if (text.trimmed().isEmpty()) {
            *error = QStringLiteral("%1 must not be empty (use 'quillet config unset %1' to "
                                    "remove it)")
                         .arg(key.name);
            return std::nullopt;
        }
        return QVariant(text);
    case Kind::number:
    case Kind::wholeNumber: {
        bool ok = false;
        const double value = text.trimmed().toDouble(&ok);
        const bool whole = key.kind == Kind::wholeNumber;
        if (!ok || !std::isfinite(value) || (whole && value != std::trunc(value))) {
            *error = QStringLiteral("%1 takes a %2, not '%3'")
                         .arg(key.name,
                              whole ? QStringLiteral("whole number") : QStringLiteral("number"),
                              ControlText::escaped(text));
            return std::nullopt;
        }
        if (value < key.low || value > key.high) {
            *error = QStringLiteral("%1 must be between %2 and %3 %4")
                         .arg(key.name)
                         .arg(key.low)
                         .arg(key.high)
                         .arg(key.unit);
            return std::nullopt;
        }
        return QVariant(value);
    }
    case Kind::boolean:
        if (text == QLatin1String("true"))
            return QVariant(true);
        if (text == QLatin1String("false"))
            return QVariant(false);
        *error = QStringLiteral("%1 takes true or false, not '%2'")
                     .arg(key.name, ControlText::escaped(text));
        return std::nullopt;
    }
    return std::nullopt;
}

QString storedText(const Key &key) {
    const auto text = Settings::readText(key.name);
    if (!text)
        return {};
    if (key.kind == Kind::boolean)
        return Settings::readBool(key.name) ? QStringLiteral("true") : QStringLiteral("false");
    return *text;
}

int usage(bool asError) {
    QTextStream &stream = asError ? err() : out();
    stream << "Usage: quillet config list|get|set|unset [KEY] [VALUE]\n"
              "Read and change Quillet's settings ("
           << Settings::filePath()
           << ").\n\n"
              "  list              Show every setting\n"
              "  get KEY           Print a setting's stored value\n"
              "  set KEY VALUE     Change a setting\n"
              "  unset KEY         Remove a setting, so its default applies\n\n"
              "Keys:\n"
              "  serverURL          the server's http(s) base URL\n"
              "  agentApiKey        the key the monitor uses (set by 'quillet login')\n"
              "  agentApiKeyId      the server's id of that key\n"
              "  pollInterval       seconds between scans, 1 to 10 (default 3)\n"
              "  idleThreshold      seconds a screen must stay still, 3 to 15 (default 5)\n"
              "  contextLines       lines of context sent with a question, 10 to 100 (default 50)\n"
              "  notificationSound  true or false: sound on each new question\n"
              "  launchAtLogin      true or false: start Quillet when you log in\n"
              "  watchAllSessions   true or false: also watch Claude Code and Codex panes outside\n"
              "                     the projects' own sessions (default true)\n";
    stream.flush();
    return asError ? 1 : 0;
}

int notStored() {
    return fail(QStringLiteral("nothing was changed: the settings cannot be written (%1)")
                    .arg(Settings::writeError()));
}

void applyLoginItem(bool enabled) {
    // The stored choice stands even when the desktop refuses the entry.
    LoginItem::platform().setEnabled(enabled);
}

} // namespace

int ConfigCommand::run(const QStringList &args) {
    const QString sub = args.value(0);
    if (sub.isEmpty())
        return usage(true);
    if (sub == QLatin1String("--help") || sub == QLatin1String("-h"))
        return usage(false);

    if (sub == QLatin1String("list")) {
        CliParser cli(QStringLiteral("quillet config list"), QStringLiteral("Show every setting."));
        if (auto status = cli.parse(args.mid(1), 0, 0))
            return *status;
        for (const Key &key : keys()) {
            QString shown = storedText(key);
            if (shown.isEmpty())
                shown = key.fallback.isEmpty() ? QStringLiteral("(not set)")
                                               : QStringLiteral("(not set; %1)").arg(key.fallback);
            else if (key.name == Settings::agentApiKey)
                shown = QStringLiteral("(set; 'quillet config get agentApiKey' shows it)");
            out() << key.name << " = " << shown << "\n";
        }
        out().flush();
        return 0;
    }
    if (sub == QLatin1String("get")) {
        CliParser cli(QStringLiteral("quillet config get"),
                      QStringLiteral("Print a setting's stored value."));
        cli.addPositional(QStringLiteral("key"), QStringLiteral("The setting."),
                          QStringLiteral("KEY"));
        if (auto status = cli.parse(args.mid(1), 1, 1))
            return *status;
        const Key *key = findKey(cli.positional().first());
        if (!key)
            return unknownKey(cli.positional().first());
        if (!Settings::contains(key->name)) {
            err() << key->name << " is not set"
                  << (key->fallback.isEmpty()
                          ? QString()
                          : QStringLiteral("; Quillet uses %1").arg(key->fallback))
                  << Qt::endl;
            return 0;
        }
        out() << storedText(*key) << Qt::endl;
        return 0;
    }
    if (sub == QLatin1String("set")) {
        CliParser cli(QStringLiteral("quillet config set"), QStringLiteral("Change a setting."));
        cli.addPositional(QStringLiteral("key"), QStringLiteral("The setting."),
                          QStringLiteral("KEY"));
        cli.addPositional(QStringLiteral("value"), QStringLiteral("Its new value."),
                          QStringLiteral("VALUE"));
        // A value may start with a minus ("-1"): after the key, nothing is an option.
        QStringList words = args.mid(1);
        if (!words.isEmpty() && !words.first().startsWith(QLatin1Char('-')))
            words.insert(1, QStringLiteral("--"));
        if (auto status = cli.parse(words, 2, 2))
            return *status;
        const Key *key = findKey(cli.positional().at(0));
        if (!key)
            return unknownKey(cli.positional().at(0));
        QString error;
        const auto value = parseValue(*key, cli.positional().at(1), &error);
        if (!value)
            return fail(error);
        const bool serverMoved =
            key->name == Settings::serverURL &&
            value->toString() != Settings::readTextOrEmpty(Settings::serverURL);
        if (!Settings::write(key->name, *value))
            return notStored();
        // Another address is a server of the user's choosing, not the relay `quillet up` runs.
        if (serverMoved)
            Settings::remove(Settings::localServer);
        if (key->name == Settings::launchAtLogin)
            applyLoginItem(value->toBool());
        return 0;
    }
    if (sub == QLatin1String("unset")) {
        CliParser cli(QStringLiteral("quillet config unset"),
                      QStringLiteral("Remove a setting, so its default applies."));
        cli.addPositional(QStringLiteral("key"), QStringLiteral("The setting."),
                          QStringLiteral("KEY"));
        if (auto status = cli.parse(args.mid(1), 1, 1))
            return *status;
        const Key *key = findKey(cli.positional().first());
        if (!key)
            return unknownKey(cli.positional().first());
        if (!Settings::remove(key->name))
            return notStored();
        if (key->name == Settings::launchAtLogin)
            applyLoginItem(false);
        return 0;
    }
    return fail(
        QStringLiteral("unknown command 'config %1'\nTry 'quillet config --help'.").arg(sub));
}

} // namespace quillet::cli
