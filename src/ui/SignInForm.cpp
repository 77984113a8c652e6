#include "ui/SignInForm.h"

#include "api/AuthViewModel.h"
#include "common/ControlText.h"
#include "common/Settings.h"
#include "projects/AddProjectAction.h"
#include "ui/StatusIcons.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillet {

namespace {

bool isBlank(const QString &text) {
    return AddProjectAction::trimBlanks(text).isEmpty();
}

} // namespace

SignInForm::SignInForm(AuthViewModel &model, QWidget *parent) : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("signInForm"));

    auto *symbol = new QLabel(this);
    symbol->setPixmap(QPixmap::fromImage(StatusIcons::render(StatusIcons::State::monitoring, 48)));
    symbol->setAlignment(Qt::AlignCenter);
    auto *title = new QLabel(QStringLiteral("Quillet"), this);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);

    m_serverURL = new QLineEdit(this);
    m_serverURL->setObjectName(QStringLiteral("serverURLEdit"));
    m_serverURL->setInputMethodHints(Qt::ImhNoPredictiveText | Qt::ImhUrlCharactersOnly);
    m_username = new QLineEdit(this);
    m_username->setObjectName(QStringLiteral("usernameEdit"));
    m_username->setInputMethodHints(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Server URL:"), m_serverURL);
    m_usernameLabel = new QLabel(QStringLiteral("Username:"), this);
    form->addRow(m_usernameLabel, m_username);

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("errorLabel"));
    m_error->setStyleSheet(QStringLiteral("color: #d70015;"));
    m_error->setWordWrap(true);
    m_error->setAlignment(Qt::AlignCenter);

    m_primary = new QPushButton(this);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    m_primary->setDefault(true);
    m_primary->setAutoDefault(true);
    m_primary->setMinimumHeight(32);
    m_modeLink = new QPushButton(this);
    m_modeLink->setObjectName(QStringLiteral("modeLink"));
    m_modeLink->setFlat(true);
    m_modeLink->setCursor(Qt::PointingHandCursor);
    m_modeLink->setStyleSheet(
        QStringLiteral("QPushButton { color: palette(link); border: none; }"));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(20);
    layout->addStretch(1);
    layout->addWidget(symbol);
    layout->addWidget(title);
    layout->addLayout(form);
    layout->addWidget(m_error);
    auto *buttons = new QVBoxLayout;
    buttons->setSpacing(12);
    buttons->addWidget(m_primary);
    buttons->addWidget(m_modeLink, 0, Qt::AlignHCenter);
    layout->addLayout(buttons);
    layout->addStretch(1);

    m_serverURL->setText(
        Settings::readText(Settings::serverURL).value_or(Settings::defaultServerURL));
    // The address reaches the settings with a successful sign-in, not with each keystroke: a
    // half-typed one would be the agent's server meanwhile.
    connect(m_serverURL, &QLineEdit::textEdited, this, &SignInForm::updateState);
    connect(m_username, &QLineEdit::textChanged, this, &SignInForm::updateState);
    // Return in either field presses the primary button (when it is enabled).
    connect(m_serverURL, &QLineEdit::returnPressed, this, &SignInForm::submit);
    connect(m_username, &QLineEdit::returnPressed, this, &SignInForm::submit);
    connect(m_primary, &QPushButton::clicked, this, &SignInForm::submit);
    connect(m_modeLink, &QPushButton::clicked, this, [this] { setRegistering(!m_registering); });
    connect(&m_model, &AuthViewModel::isLoadingChanged, this, &SignInForm::updateState);
    connect(&m_model, &AuthViewModel::errorMessageChanged, this, [this] {
        m_errorDismissed = false;
        updateState();
    });
    updateState();
}

void SignInForm::showEvent(QShowEvent *event) {
    if (!m_serverURL->hasFocus())
        m_serverURL->setText(
            Settings::readText(Settings::serverURL).value_or(Settings::defaultServerURL));
    updateState();
    QWidget::showEvent(event);
}

void SignInForm::setServerURL(const QString &url) {
    m_serverURL->setText(url);
    updateState();
}

void SignInForm::setRegistering(bool registering) {
    // Switching modes clears a shown error; the user name stays.
    m_errorDismissed = true;
    m_registering = registering;
    updateState();
}

void SignInForm::updateState() {
    m_usernameLabel->setVisible(m_registering);
    m_username->setVisible(m_registering);
    const bool loading = m_model.isLoading();
    const QString typed = m_serverURL->text().trimmed();
    const bool usable = Settings::isServerURL(typed);
    if (m_registering) {
        m_primary->setText(QStringLiteral("Create Account"));
        m_primary->setIcon(QIcon::fromTheme(QStringLiteral("contact-new")));
        m_primary->setEnabled(!loading && usable && !isBlank(m_username->text()));
        m_modeLink->setText(QStringLiteral("Already have an account?"));
    } else {
        m_primary->setText(QStringLiteral("Sign In with Passkey"));
        m_primary->setIcon(QIcon::fromTheme(QStringLiteral("dialog-password")));
        m_primary->setEnabled(!loading && usable);
        m_modeLink->setText(QStringLiteral("New user? Create Account"));
    }
    // A cleared field is someone about to type, not a mistake to point at.
    if (!usable && !typed.isEmpty()) {
        m_error->setText(QStringLiteral("'%1' is not an http or https URL")
                             .arg(ControlText::escaped(m_serverURL->text())));
        m_error->setVisible(true);
        return;
    }
    const auto error = m_model.errorMessage();
    m_error->setText(error.value_or(QString()));
    m_error->setVisible(error.has_value() && !m_errorDismissed);
}

void SignInForm::submit() {
    // Checked again here: Return may arrive while a flow runs.
    if (!m_primary->isEnabled() || m_model.isLoading())
        return;
    if (m_registering)
        m_model.registerAccount(m_serverURL->text(), m_username->text());
    else
        m_model.signIn(m_serverURL->text());
}

} // namespace quillet
