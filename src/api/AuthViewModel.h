#pragma once

#include "api/SoftwareAuthenticator.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>

namespace quillet {

class APIService;
class KeychainService;

// The user's sign-in state and the account flows: creating an account with a new passkey,
// signing in with the stored one, restoring the session at start-up, creating the agent API key
// after each sign-in, and signing out. Main thread only. The flows never throw: their outcome is
// in the fields, announced by the signals.
class AuthViewModel : public QObject {
    Q_OBJECT
public:
    explicit AuthViewModel(APIService &api, QObject *parent = nullptr);

    bool isAuthenticated() const { return m_isAuthenticated; }
    bool isLoading() const { return m_isLoading; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    std::optional<QString> username() const { return m_username; }

    // Called every time isAuthenticated is set to true. Installed by the shell.
    std::function<void()> onAuthenticated;

    // The flows try `serverURL` and store it in the settings once signed in.
    QCoro::Task<> registerAccount(QString serverURL, QString username);
    QCoro::Task<> signIn(QString serverURL);
    QCoro::Task<> checkExistingSession();
    // Creates the agent API key and stores it in the settings; a failure prints one line.
    QCoro::Task<> autoCreateApiKey();

    // Forgets the account on this computer at once and revokes the agent key on the server in
    // the background, with the tokens read before they were removed.
    void signOut();
    // The same, but waits for the revocation and answers its error text, nothing when the key
    // is gone on the server (or there was none). For the command line, whose process ends next.
    QCoro::Task<std::optional<QString>> signOutAndWait();

    // The label of a new agent key: "QuilletMac-" and the computer's name, "Mac" without one.
    static QString apiKeyLabel(const QString &hostName);
    // The text shown for a failed flow, from the error's own text.
    static QString friendlyMessage(const QString &description);

    // The computer's name, for tests: QSysInfo::machineHostName() otherwise.
    void setHostName(std::optional<QString> name) { m_hostName = std::move(name); }

signals:
    void isAuthenticatedChanged(bool isAuthenticated);
    void isLoadingChanged(bool isLoading);
    void errorMessageChanged();
    void usernameChanged();
    // The background revocation that signOut() started has ended.
    void apiKeyRevocationFinished(bool revoked);

private:
    struct Revocation {
        QString keyId;
        std::optional<QString> accessToken;
        std::optional<QString> refreshToken;
    };

    QCoro::Task<> finishSignIn(std::optional<QString> failure, QString serverURL);
    std::optional<Revocation> forgetAccount();
    // Static: the model may be gone before the server answers; the API client is not.
    static QCoro::Task<> revokeQuietly(APIService *api, QPointer<AuthViewModel> model,
                                       Revocation revocation);

    void setAuthenticated(bool value);
    void setLoading(bool value);
    void setErrorMessage(std::optional<QString> value);
    void setUsername(std::optional<QString> value);

    APIService &m_api;
    KeychainService &m_keychain;
    SoftwareAuthenticator m_authenticator;
    std::optional<QString> m_hostName;

    bool m_isAuthenticated = false;
    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_username;
};

} // namespace quillet
