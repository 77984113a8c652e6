#include "ui/PairDeviceWindow.h"

#include "api/AuthViewModel.h"
#include "ui/PairingPanel.h"
#include "ui/SignInForm.h"

#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace quillet {

PairDeviceWindow::PairDeviceWindow(AuthViewModel &model, APIService &api, QWidget *parent)
    : QWidget(parent), m_model(model), m_api(api) {
    setObjectName(QStringLiteral("pairDeviceWindow"));
    setWindowTitle(QStringLiteral("Pair Device"));
    resize(380, 520);

    m_signIn = new QWidget(this);
    m_signIn->setObjectName(QStringLiteral("signedOutContent"));
    auto *hint = new QLabel(QStringLiteral("Sign in to pair your device"), m_signIn);
    hint->setAlignment(Qt::AlignCenter);
    hint->setEnabled(false);
    auto *signInLayout = new QVBoxLayout(m_signIn);
    signInLayout->setSpacing(20);
    signInLayout->setContentsMargins(0, 0, 0, 16);
    signInLayout->addWidget(new SignInForm(model, m_signIn), 1);
    signInLayout->addWidget(hint);

    m_stack = new QStackedWidget(this);
    m_stack->addWidget(m_signIn);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_stack);

    connect(&m_model, &AuthViewModel::isAuthenticatedChanged, this, &PairDeviceWindow::showContent);
    showContent();
}

void PairDeviceWindow::showContent() {
    if (!m_model.isAuthenticated()) {
        // Signing out ends the pairing: the panel stops when it is hidden.
        m_stack->setCurrentWidget(m_signIn);
        return;
    }
    if (!m_panel) {
        m_panel = new PairingPanel(m_api, m_stack);
        m_stack->addWidget(m_panel);
    }
    m_stack->setCurrentWidget(m_panel);
}

} // namespace quillet
