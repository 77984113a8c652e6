#pragma once

#include <QString>
#include <QVariant>
#include <functional>
#include <optional>

class QSettings;

namespace quillet {

// The user's settings: one small INI file in the XDG config folder ("Quillet/quillet.conf").
// Every call opens the store afresh, so a value written by another Quillet process (the
// command line beside the tray app) is seen at the next read. The agent key lives here, so the
// file is kept 0600 in a 0700 folder; a file that cannot be parsed is copied aside before a write
// replaces it.
class Settings {
public:
    static inline const QString serverURL = QStringLiteral("serverURL");
    static inline const QString agentApiKey = QStringLiteral("agentApiKey");
    static inline const QString agentApiKeyId = QStringLiteral("agentApiKeyId");
    static inline const QString pollInterval = QStringLiteral("pollInterval");
    static inline const QString idleThreshold = QStringLiteral("idleThreshold");
    static inline const QString contextLines = QStringLiteral("contextLines");
    static inline const QString notificationSound = QStringLiteral("notificationSound");
    static inline const QString launchAtLogin = QStringLiteral("launchAtLogin");
    // Absent: on. Claude Code and Codex panes of sessions that are no project's are watched too.
    static inline const QString watchAllSessions = QStringLiteral("watchAllSessions");
    // True when "serverURL" is the relay that `quillet up` or the first-run window runs on this
    // computer; absent or false, a server of the user's choosing.
    static inline const QString localServer = QStringLiteral("localServer");

    // Shown by the windows while "serverURL" is unset.
    static inline const QString defaultServerURL = QStringLiteral("https://quillet.app");

    struct Tuning {
        double pollInterval = 3.0;
        double idleThreshold = 5.0;
        int contextLines = 50;
    };

    static std::optional<QString> readText(const QString &key);
    static QString readTextOrEmpty(const QString &key) { return readText(key).value_or(QString()); }
    // Absent, or not readable as a number: 0. A numeric text reads as its number.
    static double readDouble(const QString &key);
    // Absent: false.
    static bool readBool(const QString &key);
    static bool contains(const QString &key);

    // False when the file could not be written (read-only or immutable file or folder, a link
    // to nowhere); writeError() then says why, and the stored settings are as they were.
    static bool write(const QString &key, const QVariant &value);
    static bool remove(const QString &key);
    static QString writeError();

    // An http or https URL with a host and nothing in it that could act in a header or a line:
    // what "serverURL" may hold.
    static bool isServerURL(const QString &text);

    // The tuning values held to the ranges the settings window offers; 0 or absent gives the
    // default.
    static Tuning readTuning();
    static Tuning clampTuning(double pollInterval, double idleThreshold, double contextLines);

    // Where the settings live (for the README and `quillet config`).
    static QString filePath();

private:
    static bool change(const QString &key, const std::function<void(QSettings &)> &edit,
                       const std::function<bool(const QSettings &)> &holds);
};

} // namespace quillet
