#pragma once

#include <QWidget>

class QCheckBox;

namespace quillet {

class LoginItem;

// Launch at login, the sound for a new question, and the version.
class GeneralSettingsTab : public QWidget {
    Q_OBJECT
public:
    explicit GeneralSettingsTab(LoginItem &loginItem, QWidget *parent = nullptr);

    // "0.1.0 (1)": the version and the build number.
    static QString versionText();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void reload();

    LoginItem &m_loginItem;
    QCheckBox *m_launchAtLogin;
    QCheckBox *m_sound;
};

} // namespace quillet
