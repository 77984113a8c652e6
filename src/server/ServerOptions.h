#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

namespace quillet {

// How one server runs, from the command line and the environment (an option wins over its
// variable). Defaults suit a developer's own machine: every address, port 8470, SQLite in the
// user's data folder, registration open until the first account exists.
struct ServerOptions {
    QString listenAddress = QStringLiteral("0.0.0.0");
    quint16 port = 8470;
    // A file path for SQLite, or a postgresql:// URL.
    QString database;
    // The address people and phones use; derived from the LAN address when not given.
    QString publicUrl;
    QString rpId;
    QStringList origins;
    QString tlsCertificate;
    QString tlsKey;
    // Web Push: who runs the server (empty: push is off) and the services it may send to.
    QString vapidSubject;
    QStringList pushHosts{
        QStringLiteral("fcm.googleapis.com"), QStringLiteral("updates.push.services.mozilla.com"),
        QStringLiteral("*.push.apple.com"), QStringLiteral("*.notify.windows.com")};
    // Finished things older than this are purged; zero keeps everything.
    std::chrono::seconds retention{30 * 24 * 3600};
    // Where /metrics is served; empty: nowhere.
    QString metricsAddress;
    quint16 metricsPort = 0;
    bool openRegistration = false;
    bool quiet = false;

    // Parses `arguments` (argv, program name first) over the environment. Answers the exit
    // status when the process should end at once (--help, --version, a bad option), having
    // printed what it had to.
    std::optional<int> parse(const QStringList &arguments);

    // Fills what was left empty: the database path, the public URL (`lanAddress` stands in for
    // an unspecified listen address), the relying-party id, the accepted origins and the VAPID
    // subject.
    void resolveDefaults(const QString &lanAddress);

    static QString defaultDatabasePath();
    static bool isVapidSubject(const QString &subject);
    // Why this server cannot send notifications, for the banner and the phone; empty when it
    // can. Call after resolveDefaults().
    QString pushOffReason() const;
};

} // namespace quillet
