#include "ui/ServerSettingsTab.h"

#include "app/Settings.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
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

ServerSettingsTab::ServerSettingsTab(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("serverTab"));

    auto *connection = new QGroupBox(QStringLiteral("Connection"), this);
    auto *form = new QFormLayout(connection);
    m_serverURL = new QLineEdit(connection);
    m_serverURL->setObjectName(QStringLiteral("serverURLEdit"));
    form->addRow(QStringLiteral("Server URL:"), m_serverURL);
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

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(connection);
    layout->addStretch(1);

    m_serverURL->setText(
        Settings::readText(Settings::serverURL).value_or(Settings::defaultServerURL));
    connect(m_serverURL, &QLineEdit::textEdited, this,
            [](const QString &text) { Settings::write(Settings::serverURL, text); });
    connect(m_test, &QPushButton::clicked, this, [this] { testConnection(); });
}

void ServerSettingsTab::showEvent(QShowEvent *event) {
    if (!m_serverURL->hasFocus())
        m_serverURL->setText(
            Settings::readText(Settings::serverURL).value_or(Settings::defaultServerURL));
    QWidget::showEvent(event);
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
        std::unique_ptr<QNetworkReply> reply(sharedNetwork()->get(request));
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
