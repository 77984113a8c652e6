#pragma once

#include <QWidget>

class QStackedWidget;

namespace quillet {

class APIService;
class AuthViewModel;
class PairingPanel;

// "Pair Device": the pairing panel while signed in, the sign-in form otherwise; it switches by
// itself when the sign-in state changes. Rebuilt at every opening for a fresh code.
class PairDeviceWindow : public QWidget {
    Q_OBJECT
public:
    PairDeviceWindow(AuthViewModel &model, APIService &api, QWidget *parent = nullptr);

    PairingPanel *pairingPanel() const { return m_panel; }

private:
    void showContent();

    AuthViewModel &m_model;
    APIService &m_api;
    QStackedWidget *m_stack;
    QWidget *m_signIn;
    PairingPanel *m_panel = nullptr;
};

} // namespace quillet
