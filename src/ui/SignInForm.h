#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quillet {

class AuthViewModel;

// Sign in with the passkey stored for this computer, or create an account with a new one. The
// content of the "Sign In" window, and of the pair-device window while the user is signed out.
class SignInForm : public QWidget {
    Q_OBJECT
public:
    explicit SignInForm(AuthViewModel &model, QWidget *parent = nullptr);

    bool isRegistering() const { return m_registering; }
    void setRegistering(bool registering);

    // Puts an address in the field, as if typed (the first run's "Use another server").
    void setServerURL(const QString &url);

    // The primary button's action: sign in, or create the account.
    void submit();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void updateState();

    AuthViewModel &m_model;
    bool m_registering = false;
    // The mode link hides a shown error at once; the model's next error shows again.
    bool m_errorDismissed = false;
    QLineEdit *m_serverURL;
    QLabel *m_usernameLabel;
    QLineEdit *m_username;
    QLabel *m_error;
    QPushButton *m_primary;
    QPushButton *m_modeLink;
};

} // namespace quillet
