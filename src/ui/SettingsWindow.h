#pragma once

#include <QWidget>

class QTabWidget;

namespace quillet {

class AgentService;
class AgentSettingsTab;
class APIService;
class AuthViewModel;
class GeneralSettingsTab;
class LoginItem;
class ServerSettingsTab;

// "Quillet — Settings": Server, Agent and General. Every control writes the settings at once.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    SettingsWindow(AuthViewModel &model, AgentService &engine, APIService &api,
                   LoginItem &loginItem, QWidget *parent = nullptr);

    ServerSettingsTab *serverTab() const { return m_server; }
    AgentSettingsTab *agentTab() const { return m_agent; }
    GeneralSettingsTab *generalTab() const { return m_general; }

private:
    QTabWidget *m_tabs;
    ServerSettingsTab *m_server;
    AgentSettingsTab *m_agent;
    GeneralSettingsTab *m_general;
};

} // namespace quillet
