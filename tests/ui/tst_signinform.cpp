#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "api/KeychainService.h"
#include "common/Settings.h"
#include "support/FakeServer.h"
#include "support/TestEnvironment.h"
#include "ui/SignInForm.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace quillet;
using quillet::test::FakeResponse;
using quillet::test::FakeServer;

class TestSignInForm : public QObject {
    Q_OBJECT

    std::unique_ptr<AuthViewModel> m_model;

private Q_SLOTS:
    void init() {
        Settings::remove(Settings::serverURL);
        m_model = std::make_unique<AuthViewModel>(APIService::shared());
    }

    // A refusing server: one request however often the user presses on, and the refusal shown.
    void failedSignInIsSentOnceAndShown() {
        FakeServer server;
        server.on("POST", QStringLiteral("/api/auth/passkey/authenticate/options"),
                  FakeResponse::json(500, QJsonObject{{"error", "boom"}}));
        SignInForm form(*m_model);
        form.show();
        auto *url = form.findChild<QLineEdit *>(QStringLiteral("serverURLEdit"));
        auto *primary = form.findChild<QPushButton *>(QStringLiteral("primaryButton"));
        url->clear();
        url->insert(QStringLiteral("quillet.app"));
        QVERIFY(!primary->isEnabled());
        url->clear();
        url->insert(server.baseUrl() + QLatin1Char('\n')); // as pasted, line break included
        primary->click();
        QVERIFY(m_model->isLoading());
        QTest::keyClick(url, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->isLoading(), 10000);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(!m_model->isAuthenticated());
        auto *error = form.findChild<QLabel *>(QStringLiteral("errorLabel"));
        QVERIFY(error->isVisible() && error->text().contains(QLatin1String("500")));
        QVERIFY(!Settings::contains(Settings::serverURL));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestSignInForm)
#include "tst_signinform.moc"
