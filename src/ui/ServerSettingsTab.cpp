#include "ui/ServerSettingsTab.h"

#include "api/AuthViewModel.h"
#include "common/ControlText.h"
#include "common/DeleteLater.h"
#include "common/Settings.h"
#include "ui/PairingPanel.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
#include <QDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

namespace quillet {

namespace {

constexpr int healthTimeoutMs = 15000;

// Outlives the tab, so a test still running when the window goes away finishes cleanly
// (its reply is the manager's child, not the tab's).
QNetworkAccessManager *sharedNetwork() {
    static QPointer<QNetworkAccessManager> manager;
    if (!manager)
        manager = new QNetworkAccessManager(QCoreApplication::instance());
    return manager;
}

} // namespace

ServerSettingsTab::ServerSettingsTab(AuthViewModel &model, APIService &api, QWidget *parent)
    : QWidget(parent), m_model(model), m_api(api) {
    setObjectName(QStringLiteral("serverTab"));

    auto *connection = new QGroupBox(QStringLiteral("Connection"), this);
    auto *form = new QFormLayout(connection);
    m_serverURL = new QLineEdit(connection);
    m_serverURL->setObjectName(QStringLiteral("serverURLEdit"));
    form->addRow(QStringLiteral("Server URL:"), m_serverURL);
    m_serverKind = new QLabel(connection);
    m_serverKind->setObjectName(QStringLiteral("serverKindLabel"));
    m_serverKind->setWordWrap(true);
    form->addRow(m_serverKind);
    m_test = new QPushButton(QStringLiteral("Test Connection"), connection);
    m_test->setObjectName(QStringLiteral("testConnectionButton"));
    m_progress = new QProgressBar(connection);
    m_progress->setObjectName(QStringLiteral("testProgress"));
    m_progress->setRange(0, 0);
    m_progress->setMaximumWidth(60);
    m_progress->setTextVisible(false);
    m_progress->hide();
    m_status = new QLabel(connection);
    m_status->setObjectName(QStringLiteral("connectionStatusLabel"));
    QFont small = m_status->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    m_status->setFont(small);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status->setWordWrap(true);
    auto *testRow = new QHBoxLayout;
    testRow->addWidget(m_test);
    testRow->addWidget(m_progress);
    testRow->addWidget(m_status, 1);
    form->addRow(testRow);

    auto *account = new QGroupBox(QStringLiteral("Account"), this);
    auto *accountForm = new QFormLayout(account);
    m_accountStatus = new QLabel(account);
    m_accountStatus->setObjectName(QStringLiteral("accountStatusLabel"));
    accountForm->addRow(QStringLiteral("Status"), m_accountStatus);
    m_apiKeyRow = new QWidget(account);
    m_apiKeyRow->setObjectName(QStringLiteral("apiKeyRow"));
    auto *apiKeyLayout = new QHBoxLayout(m_apiKeyRow);
    apiKeyLayout->setContentsMargins(0, 0, 0, 0);
    apiKeyLayout->addWidget(new QLabel(QStringLiteral("Agent API Key"), m_apiKeyRow));
    apiKeyLayout->addStretch(1);
    apiKeyLayout->addWidget(new QLabel(QStringLiteral("Auto-configured"), m_apiKeyRow));
    accountForm->addRow(m_apiKeyRow);
    m_signOut = new QPushButton(QStringLiteral("Sign Out"), account);
    m_signOut->setObjectName(QStringLiteral("signOutButton"));
    m_signOut->setStyleSheet(QStringLiteral("QPushButton { color: #d70015; }"));
    accountForm->addRow(m_signOut);

    m_pairSection = new QGroupBox(QStringLiteral("Pair Device"), this);
    m_pairSection->setObjectName(QStringLiteral("pairSection"));
    auto *showPairing = new QPushButton(QStringLiteral("Show Pairing Code"), m_pairSection);
    showPairing->setObjectName(QStringLiteral("showPairingButton"));
    (new QVBoxLayout(m_pairSection))->addWidget(showPairing, 0, Qt::AlignLeft);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(connection);
    layout->addWidget(account);
    layout->addWidget(m_pairSection);
    layout->addStretch(1);

    connect(m_signOut, &QPushButton::clicked, this, [this] {
        m_model.signOut();
        updateAccount();
    });
    connect(showPairing, &QPushButton::clicked, this, &ServerSettingsTab::showPairing);
    connect(&m_model, &AuthViewModel::isAuthenticatedChanged, this,
            &ServerSettingsTab::updateAccount);
    updateAccount();

    m_serverURL->setText(
        Settings::readText(Settings::serverURL).value_or(Settings::defaultServerURL));
    // The address reaches the settings, which the agent and the other windows read, once it is
    // confirmed (Return, or leaving the field) and usable: a half-typed one would be the agent's
    // server meanwhile. The status line says why another is not taken.
    connect(m_serverURL, &QLineEdit::textEdited, this, [this](const QString &text) {
        setConnectionStatus(Settings::isServerURL(text.trimmed())
                                ? QString()
                                : QStringLiteral("'%1' is not an http or https URL")
                                      .arg(ControlText::escaped(text)));
    });
    connect(m_serverURL, &QLineEdit::editingFinished, this, [this] {
        const QString text = m_serverURL->text().trimmed();
        if (!Settings::isServerURL(text) || text == Settings::readTextOrEmpty(Settings::serverURL))
            return;
        Settings::write(Settings::serverURL, text);
        // A typed address is a server of the user's choosing, not the one this computer runs.
        Settings::write(Settings::localServer, false);
        updateServerKind();
    });
    connect(m_test, &QPushButton::clicked, this, [this] { testConnection(); });
}

void ServerSettingsTab::updateServerKind() {
    m_serverKind->setText(Settings::readBool(Settings::localServer)
                              ? QStringLiteral("This computer runs the server ('quillet up' or "
                                               "the first run started it).")
                              : QStringLiteral("A server of your choosing."));
}

void ServerSettingsTab::updateAccount() {
    const bool signedIn = m_model.isAuthenticated();
    m_accountStatus->setText(signedIn ? QStringLiteral("Signed in")
                                      : QStringLiteral("Not signed in"));
    m_accountStatus->setStyleSheet(signedIn ? QStringLiteral("color: #1f9d3a;")
                                            : QStringLiteral("color: palette(mid);"));
    m_apiKeyRow->setVisible(signedIn &&
                            !Settings::readTextOrEmpty(Settings::agentApiKey).isEmpty());
    m_signOut->setVisible(signedIn);
    m_pairSection->setVisible(signedIn);
    if (!signedIn && m_pairingSheet)
        m_pairingSheet->close();
}

void ServerSettingsTab::showPairing() {
    if (m_pairingSheet) {
        m_pairingSheet->raise();
        return;
    }
    auto *sheet = new QDialog(this);
    sheet->setObjectName(QStringLiteral("pairingSheet"));
    sheet->setWindowTitle(QStringLiteral("Pair Device"));
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    auto *panel = new PairingPanel(m_api, sheet);
    auto *done = new QPushButton(QStringLiteral("Done"), sheet);
    connect(done, &QPushButton::clicked, sheet, &QDialog::accept);
    auto *layout = new QVBoxLayout(sheet);
    layout->addWidget(panel);
    layout->addWidget(done, 0, Qt::AlignRight);
    m_pairingSheet = sheet;
    sheet->open();
}

void ServerSettingsTab::showEvent(QShowEvent *event) {
    updateAccount();
    updateServerKind();
    if (!m_serverURL->hasFocus())
        m_serverURL->setText(
            Settings::readText(Settings::serverURL).value_or(Settings::defaultServerURL));
    QWidget::showEvent(event);
    // Whether the server on this computer runs is the connection test's answer.
    if (Settings::readBool(Settings::localServer))
        testConnection();
}

QString ServerSettingsTab::connectionStatus() const {
    return m_status->text();
}

void ServerSettingsTab::setConnectionStatus(const QString &status) {
    m_status->setText(status);
    const bool ok = status.contains(QLatin1String("OK"));
    m_status->setStyleSheet(ok ? QStringLiteral("color: #1f9d3a;")
                               : QStringLiteral("color: #d70015;"));
}

QCoro::Task<> ServerSettingsTab::testConnection() {
    if (m_testing)
        co_return;
    m_testing = true;
    setConnectionStatus(QString());
    m_test->setEnabled(false);
    m_progress->show();

    // Appended as typed: a URL ending in "/" gives "//api/health".
    const QUrl url(m_serverURL->text() + QStringLiteral("/api/health"), QUrl::StrictMode);
    QString status;
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
        status = QStringLiteral("Error: not a valid http or https address");
    } else {
        QNetworkRequest request(url);
        request.setTransferTimeout(healthTimeoutMs);
        QPointer<ServerSettingsTab> self(this);
        std::unique_ptr<QNetworkReply, DeleteLater> reply(sharedNetwork()->get(request));
        co_await reply.get();
        if (!self)
            co_return;
        const QVariant code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!code.isValid()) {
            status = QStringLiteral("Error: ") + reply->errorString();
        } else {
            const int httpStatus = code.toInt();
            QJsonParseError parseError;
            const QJsonDocument body = QJsonDocument::fromJson(reply->readAll(), &parseError);
            const QJsonValue version = body.object().value(QLatin1String("version"));
            if (httpStatus == 200 && parseError.error != QJsonParseError::NoError)
                status = QStringLiteral("Error: the answer is not valid JSON (%1)")
                             .arg(parseError.errorString());
            else if (httpStatus == 200 && body.isObject() && version.isString())
                status = QStringLiteral("OK — v") + version.toString();
            else
                status = QStringLiteral("Error: HTTP %1").arg(httpStatus);
        }
    }
    setConnectionStatus(status);
    m_progress->hide();
    m_test->setEnabled(true);
    m_testing = false;
}

} // namespace quillet
