#pragma once

#include <QString>
#include <QVariant>
#include <optional>

namespace quillet {

// The user's settings: one small INI file in the XDG config folder ("Quillet/quillet.conf").
// Every call opens the store afresh, so a value written by another Quillet process (the
// command line beside the tray app) is seen at the next read.
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

    static void write(const QString &key, const QVariant &value);
    static void remove(const QString &key);

    // The tuning values held to the ranges the settings window offers; 0 or absent gives the
    // default.
    static Tuning readTuning();
    static Tuning clampTuning(double pollInterval, double idleThreshold, double contextLines);

    // Where the settings live (for the README and `quillet config`).
    static QString filePath();
};

} // namespace quillet
