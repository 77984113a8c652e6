#pragma once

#include <QCoroTask>
#include <QWidget>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quillet {

// The server address with its connection test, the account, and pairing.
class ServerSettingsTab : public QWidget {
    Q_OBJECT
public:
    explicit ServerSettingsTab(QWidget *parent = nullptr);

    // GET <server URL>/api/health without credentials; the outcome is shown beside the button.
    QCoro::Task<> testConnection();
    QString connectionStatus() const;
    bool isTesting() const { return m_testing; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void setConnectionStatus(const QString &status);

    QLineEdit *m_serverURL;
    QPushButton *m_test;
    QProgressBar *m_progress;
    QLabel *m_status;
    bool m_testing = false;
};

} // namespace quillet
