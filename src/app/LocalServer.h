#pragma once

#include "net/HttpTransport.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <optional>

namespace quillet {

// The relay on this computer, for `quillet up` and the desktop's first run: whether it answers,
// and starting it, as a systemd user service where the user's systemd runs, else as a process of
// ours (ended with us unless it is asked to outlive us). Its database is the relay's default, in
// the user's XDG data folder.
class LocalServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 defaultPort = 8470;

    enum class State {
        // A Quillet relay answers at the address.
        running,
        // Nothing listens on the port: it can be started.
        free,
        // Something else holds the port.
        taken,
    };
    enum class Launch { systemdService, process, detachedProcess };
    struct Address {
        QString listen = QStringLiteral("0.0.0.0");
        quint16 port = defaultPort;
        QString url;
    };

    explicit LocalServer(QObject *parent = nullptr);
    // Ends the process it started, unless that one was to outlive it.
    ~LocalServer() override;

    // The address phones and this computer use: the LAN address when listening on every address,
    // as the relay itself derives it.
    static QString publicUrl(const QString &listenAddress, quint16 port);
    // Where the relay of a URL that publicUrl() made listens: on a loopback host, that host;
    // else every address. The URL stays as it is, even if the LAN address moved since: the
    // account's passkey belongs to its host.
    static Address addressOf(const QString &url);
    // quillet-server beside this program (or in the build tree's server folder), else on PATH.
    static std::optional<QString> executable();
    // Replaces executable()'s search; empty restores it.
    static void setExecutableForTesting(const QString &path);
    // The user name a first run gives the account: the login name.
    static QString accountName();
    // This computer holds a passkey for the relay at `url` (whose relying party is its host, as
    // the relay on this computer is set up): sign in with it rather than make a new account.
    static bool hasPasskeyFor(const QString &url);
    // A systemd user manager answers on its private socket in XDG_RUNTIME_DIR.
    static bool userSystemdRuns();
    // Where a relay started as a process writes its log.
    static QString logFilePath();

    // A Quillet relay answers its health check at `url`.
    QCoro::Task<bool> answers(QString url);
    QCoro::Task<State> probe(QString url, QString listenAddress, quint16 port);
    // Starts the relay of `url` (a URL publicUrl() made) unless it answers already: where the
    // user's systemd runs as its service, else as our process. The reason when it does not run.
    QCoro::Task<std::optional<QString>> ensureRunning(QString url);
    // Starts the relay and waits until it answers at `url`; the reason and what to do next when
    // it does not.
    QCoro::Task<std::optional<QString>> start(QString listenAddress, quint16 port, QString url,
                                              Launch launch);
    // Whether this object runs the relay as its own process right now.
    bool ownsProcess() const { return m_child && m_child->state() != QProcess::NotRunning; }
    // The process started to outlive us, 0 when there is none.
    qint64 detachedPid() const { return m_detachedPid; }

private:
    QCoro::Task<std::optional<QString>> startService(QStringList arguments);
    QCoro::Task<std::optional<QString>> waitUntilAnswering(QString url, QString logHint);
    static QCoro::Task<bool> systemctl(QStringList arguments);

    HttpTransport m_http;
    QPointer<QProcess> m_child;
    qint64 m_detachedPid = 0;
};

} // namespace quillet
