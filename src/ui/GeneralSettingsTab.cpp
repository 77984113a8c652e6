#include "ui/GeneralSettingsTab.h"

#include "app/LoginItem.h"
#include "common/Settings.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

namespace quillet {

GeneralSettingsTab::GeneralSettingsTab(LoginItem &loginItem, QWidget *parent)
    : QWidget(parent), m_loginItem(loginItem) {
    setObjectName(QStringLiteral("generalTab"));

    auto *startup = new QGroupBox(QStringLiteral("Startup"), this);
    m_launchAtLogin = new QCheckBox(QStringLiteral("Launch at Login"), startup);
    m_launchAtLogin->setObjectName(QStringLiteral("launchAtLoginCheck"));
    (new QVBoxLayout(startup))->addWidget(m_launchAtLogin);

    auto *notifications = new QGroupBox(QStringLiteral("Notifications"), this);
    m_sound = new QCheckBox(QStringLiteral("Play sound on new question"), notifications);
    m_sound->setObjectName(QStringLiteral("soundCheck"));
    (new QVBoxLayout(notifications))->addWidget(m_sound);

    auto *about = new QGroupBox(QStringLiteral("About"), this);
    auto *aboutForm = new QFormLayout(about);
    auto *version = new QLabel(versionText(), about);
    version->setObjectName(QStringLiteral("versionLabel"));
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    aboutForm->addRow(QStringLiteral("Version"), version);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(startup);
    layout->addWidget(notifications);
    layout->addWidget(about);
    layout->addStretch(1);

    reload();
    connect(m_launchAtLogin, &QCheckBox::toggled, this, [this](bool on) {
        Settings::write(Settings::launchAtLogin, on);
        // The switch keeps the user's choice even when the desktop refuses it.
        m_loginItem.setEnabled(on);
    });
    connect(m_sound, &QCheckBox::toggled, this,
            [](bool on) { Settings::write(Settings::notificationSound, on); });
}

QString GeneralSettingsTab::versionText() {
    return QStringLiteral("%1 (%2)").arg(QStringLiteral(QUILLET_VERSION), QStringLiteral("1"));
}

void GeneralSettingsTab::reload() {
    const QSignalBlocker a(m_launchAtLogin);
    const QSignalBlocker b(m_sound);
    m_launchAtLogin->setChecked(Settings::readBool(Settings::launchAtLogin));
    // Shown on until the user has chosen.
    m_sound->setChecked(!Settings::contains(Settings::notificationSound) ||
                        Settings::readBool(Settings::notificationSound));
}

void GeneralSettingsTab::showEvent(QShowEvent *event) {
    // The command line may have changed the settings since the window was last open.
    reload();
    QWidget::showEvent(event);
}

} // namespace quillet
