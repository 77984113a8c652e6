#include "ui/FirstRunWindow.h"

#include "api/AuthViewModel.h"
#include "app/LocalServer.h"
#include "common/ControlText.h"
#include "common/Settings.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quillet {

FirstRunWindow::FirstRunWindow(AuthViewModel &model, LocalServer &server, QWidget *parent)
    : QWidget(parent), m_model(model), m_server(server), m_listenAddress(QStringLiteral("0.0.0.0")),
      m_port(LocalServer::defaultPort) {
    setObjectName(QStringLiteral("firstRunWindow"));
    setWindowTitle(QStringLiteral("Welcome to Quillet"));

    auto *intro = new QLabel(QStringLiteral("Quillet keeps your coding agents' questions on a "
                                            "server and pages your phone from there."),
                             this);
    intro->setWordWrap(true);
    m_local = new QRadioButton(QStringLiteral("Run the server on this computer"), this);
    m_local->setObjectName(QStringLiteral("localServerChoice"));
    m_local->setChecked(true);
    m_other = new QRadioButton(QStringLiteral("Use another server"), this);
    m_other->setObjectName(QStringLiteral("otherServerChoice"));
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("serverURLEdit"));
    m_address->setPlaceholderText(QStringLiteral("https://quillet.example.org"));
    m_address->setInputMethodHints(Qt::ImhNoPredictiveText | Qt::ImhUrlCharactersOnly);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_continue = new QPushButton(QStringLiteral("Continue"), this);
    m_continue->setObjectName(QStringLiteral("continueButton"));
    m_continue->setDefault(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->addWidget(intro);
    layout->addWidget(m_local);
    layout->addWidget(m_other);
    layout->addWidget(m_address);
    layout->addWidget(m_status);
    layout->addStretch(1);
    layout->addWidget(m_continue, 0, Qt::AlignRight);

    connect(m_local, &QRadioButton::toggled, this, &FirstRunWindow::updateState);
    connect(m_address, &QLineEdit::textChanged, this, &FirstRunWindow::updateState);
    connect(m_address, &QLineEdit::returnPressed, this, [this] { proceed(); });
    connect(m_continue, &QPushButton::clicked, this, [this] { proceed(); });
    updateState();
}

void FirstRunWindow::setLocalAddress(const QString &listenAddress, quint16 port) {
    m_listenAddress = listenAddress;
    m_port = port;
}

QString FirstRunWindow::status() const {
    return m_status->text();
}

void FirstRunWindow::setStatus(const QString &text, bool error) {
    m_status->setText(text);
    m_status->setStyleSheet(error ? QStringLiteral("color: #d70015;") : QString());
}

void FirstRunWindow::updateState() {
    const bool other = m_other->isChecked();
    m_address->setEnabled(other && !m_busy);
    m_local->setEnabled(!m_busy);
    m_other->setEnabled(!m_busy);
    const QString typed = m_address->text().trimmed();
    m_continue->setEnabled(!m_busy && (!other || Settings::isServerURL(typed)));
    if (other && !typed.isEmpty() && !Settings::isServerURL(typed))
        setStatus(QStringLiteral("'%1' is not an http or https URL")
                      .arg(ControlText::escaped(m_address->text())),
                  true);
    else if (!m_busy)
        setStatus(QString(), false);
}

QCoro::Task<> FirstRunWindow::proceed() {
    if (!m_continue->isEnabled())
        co_return;
    if (m_local->isChecked()) {
        co_await runLocally();
        co_return;
    }
    // The address reaches the settings with a successful sign-in, as any other does.
    Settings::write(Settings::localServer, false);
    const QString url = m_address->text().trimmed();
    close();
    if (openSignIn)
        openSignIn(url);
}

QCoro::Task<> FirstRunWindow::runLocally() {
    QPointer<FirstRunWindow> self(this);
    m_busy = true;
    updateState();
    const QString url = LocalServer::publicUrl(m_listenAddress, m_port);
    setStatus(QStringLiteral("Starting the server at %1...").arg(url), false);
    std::optional<QString> failure = co_await m_server.ensureRunning(url);
    if (!self)
        co_return;
    if (!failure && (!Settings::write(Settings::serverURL, url) ||
                     !Settings::write(Settings::localServer, true)))
        failure =
            QStringLiteral("The settings could not be written: %1").arg(Settings::writeError());
    if (failure) {
        m_busy = false;
        updateState();
        setStatus(*failure, true);
        co_return;
    }

    const bool returning = LocalServer::hasPasskeyFor(url);
    setStatus(returning ? QStringLiteral("Signing in with this computer's passkey...")
                        : QStringLiteral("Creating your account..."),
              false);
    if (returning)
        co_await m_model.signIn(url);
    else
        co_await m_model.registerAccount(url, LocalServer::accountName());
    if (!self)
        co_return;
    m_busy = false;
    close();
    // A failed sign-in is the sign-in window's to show and retry.
    if (!m_model.isAuthenticated()) {
        if (openSignIn)
            openSignIn(url);
    } else if (openPairing) {
        openPairing();
    }
}

} // namespace quillet
