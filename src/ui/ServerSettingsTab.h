#pragma once

#include <QCoroTask>
#include <QDialog>
#include <QPointer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quillet {

class APIService;
class AuthViewModel;

// The server address with its connection test, the account, and pairing.
class ServerSettingsTab : public QWidget {
    Q_OBJECT
public:
    ServerSettingsTab(AuthViewModel &model, APIService &api, QWidget *parent = nullptr);

    // GET <server URL>/api/health without credentials; the outcome is shown beside the button.
    QCoro::Task<> testConnection();
    QString connectionStatus() const;
    bool isTesting() const { return m_testing; }
    // The pairing sheet while it is open.
    QDialog *pairingSheet() const { return m_pairingSheet; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void setConnectionStatus(const QString &status);
    void updateAccount();
    void updateServerKind();
    void showPairing();

    AuthViewModel &m_model;
    APIService &m_api;
    QLineEdit *m_serverURL;
    QLabel *m_serverKind;
    QPushButton *m_test;
    QProgressBar *m_progress;
    QLabel *m_status;
    QLabel *m_accountStatus;
    QWidget *m_apiKeyRow;
    QPushButton *m_signOut;
    QWidget *m_pairSection;
    bool m_testing = false;
    QPointer<QDialog> m_pairingSheet;
};

} // namespace quillet
