#pragma once

#include <QCoroTask>
#include <QWidget>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace quillet {

class AuthViewModel;
class LocalServer;

// The desktop's first run, while no server is configured: run the relay on this computer (the
// steps of `quillet up`: start it, sign in or create the account, then pairing) or use another
// server (its address, then the sign-in window). The choice is remembered in "localServer".
class FirstRunWindow : public QWidget {
    Q_OBJECT
public:
    FirstRunWindow(AuthViewModel &model, LocalServer &server, QWidget *parent = nullptr);

    // Where the relay on this computer listens: every address on the default port unless a test
    // says otherwise.
    void setLocalAddress(const QString &listenAddress, quint16 port);
    // The Continue button: the chosen path.
    QCoro::Task<> proceed();
    QString status() const;

    // Installed by the shell: the sign-in window for `url`, the pairing window.
    std::function<void(const QString &url)> openSignIn;
    std::function<void()> openPairing;

private:
    QCoro::Task<> runLocally();
    void updateState();
    void setStatus(const QString &text, bool error);

    AuthViewModel &m_model;
    LocalServer &m_server;
    QString m_listenAddress;
    quint16 m_port;
    bool m_busy = false;
    QRadioButton *m_local;
    QRadioButton *m_other;
    QLineEdit *m_address;
    QLabel *m_status;
    QPushButton *m_continue;
};

} // namespace quillet
