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

    static QPushButton *primary(SignInForm &form) {
        return form.findChild<QPushButton *>(QStringLiteral("primaryButton"));
    }
    static QLineEdit *field(SignInForm &form, const char *name) {
        return form.findChild<QLineEdit *>(QLatin1String(name));
    }

private Q_SLOTS:
    void init() {
        Settings::remove(Settings::serverURL);
        m_model = std::make_unique<AuthViewModel>(APIService::shared());
    }

    void enablingErrorsAndModes() {
        FakeServer server;
        server.on("POST", QStringLiteral("/api/auth/passkey/authenticate/options"),
                  FakeResponse::json(500, QJsonObject{{"error", "boom"}}));
        SignInForm form(*m_model);
        form.show();
        auto *url = field(form, "serverURLEdit");
        auto *user = field(form, "usernameEdit");
        QCOMPARE(url->text(), Settings::defaultServerURL);
        auto *error = form.findChild<QLabel *>(QStringLiteral("errorLabel"));
        // A bad address is named, a blank one is not; none is stored before a sign-in succeeds.
        for (const QString &unusable : {QStringLiteral(" \t "), QStringLiteral("quillet.app")}) {
            url->clear();
            url->insert(unusable); // as typed: tabs and line breaks included
            QVERIFY(!primary(form)->isEnabled());
            QCOMPARE(error->isVisible(), unusable == QLatin1String("quillet.app"));
        }
        QCOMPARE(error->text(), QStringLiteral("'quillet.app' is not an http or https URL"));
        url->clear();
        url->insert(server.baseUrl() + QLatin1Char('\n'));
        QVERIFY(!Settings::contains(Settings::serverURL));
        QVERIFY(primary(form)->isEnabled());
        QVERIFY(!user->isVisible());
        form.setRegistering(true);
        QVERIFY(user->isVisible());
        user->setText(QStringLiteral("  "));
        QVERIFY(!primary(form)->isEnabled());
        user->setText(QStringLiteral("bob"));
        QVERIFY(primary(form)->isEnabled());
        form.setRegistering(false);

        QVERIFY(!error->isVisible());
        primary(form)->click();
        QVERIFY(m_model->isLoading());
        QVERIFY(!primary(form)->isEnabled());
        // Return while the flow runs sends nothing more.
        QTest::keyClick(url, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->isLoading(), 10000);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(error->isVisible());
        QVERIFY(!error->text().isEmpty());

        // Switching modes hides the error and keeps what was typed.
        auto *link = form.findChild<QPushButton *>(QStringLiteral("modeLink"));
        link->click();
        QVERIFY(form.isRegistering());
        QVERIFY(!error->isVisible());
        link->click();
        link->click();
        QCOMPARE(user->text(), QStringLiteral("bob"));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestSignInForm)
#include "tst_signinform.moc"
