#include "ui/SettingsWindow.h"

#include "ui/AgentSettingsTab.h"
#include "ui/GeneralSettingsTab.h"
#include "ui/ServerSettingsTab.h"

#include <QTabWidget>
#include <QVBoxLayout>

namespace quillet {

SettingsWindow::SettingsWindow(AuthViewModel &model, AgentService &engine, APIService &api,
                               LoginItem &loginItem, QWidget *parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("settingsWindow"));
    setWindowTitle(QStringLiteral("Quillet — Settings"));
    resize(500, 350);

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("settingsTabs"));
    m_server = new ServerSettingsTab(model, api, m_tabs);
    m_agent = new AgentSettingsTab(engine, m_tabs);
    m_general = new GeneralSettingsTab(loginItem, m_tabs);
    m_tabs->addTab(m_server, QIcon::fromTheme(QStringLiteral("network-server")),
                   QStringLiteral("Server"));
    m_tabs->addTab(m_agent, QIcon::fromTheme(QStringLiteral("network-wireless")),
                   QStringLiteral("Agent"));
    m_tabs->addTab(m_general, QIcon::fromTheme(QStringLiteral("preferences-system")),
                   QStringLiteral("General"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
}

} // namespace quillet
