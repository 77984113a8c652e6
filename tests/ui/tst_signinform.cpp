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

    void primaryButtonEnabled_data() {
        QTest::addColumn<bool>("registering");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("username");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("sign in, blank URL") << false << " \t "
                                            << "" << false;
        QTest::newRow("sign in, URL ending in newline") << false << "https://a.test\n"
                                                        << "" << true;
        QTest::newRow("create") << true << "https://a.test"
                                << "bob" << true;
        QTest::newRow("create, blank user") << true << "https://a.test"
                                            << "  " << false;
    }
    void primaryButtonEnabled() {
        QFETCH(bool, registering);
        QFETCH(QString, url);
        QFETCH(QString, username);
        QFETCH(bool, enabled);
        SignInForm form(*m_model);
        QCOMPARE(field(form, "serverURLEdit")->text(), Settings::defaultServerURL);
        form.setRegistering(registering);
        auto *urlEdit = field(form, "serverURLEdit");
        urlEdit->clear();
        urlEdit->insert(url); // as typed: tabs and line breaks included
        // Every keystroke is stored.
        QCOMPARE(Settings::readTextOrEmpty(Settings::serverURL), url);
        field(form, "usernameEdit")->setText(username);
        QCOMPARE(primary(form)->isEnabled(), enabled);
        QCOMPARE(field(form, "usernameEdit")->isVisibleTo(&form), registering);
    }

    void errorAndModeSwitch() {
        FakeServer server;
        server.on("POST", QStringLiteral("/api/auth/passkey/authenticate/options"),
                  FakeResponse::json(500, QJsonObject{{"error", "boom"}}));
        Settings::write(Settings::serverURL, server.baseUrl());
        SignInForm form(*m_model);
        form.show();
        auto *error = form.findChild<QLabel *>(QStringLiteral("errorLabel"));
        auto *link = form.findChild<QPushButton *>(QStringLiteral("modeLink"));
        QVERIFY(!error->isVisible());
        primary(form)->click();
        QVERIFY(m_model->isLoading());
        QVERIFY(!primary(form)->isEnabled());
        // Return while the flow runs sends nothing more.
        QTest::keyClick(field(form, "serverURLEdit"), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->isLoading(), 10000);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(error->isVisible());
        QVERIFY(!error->text().isEmpty());

        field(form, "usernameEdit")->setText(QStringLiteral("bob"));
        link->click();
        QVERIFY(form.isRegistering());
        QVERIFY(!error->isVisible());
        link->click();
        link->click();
        QCOMPARE(field(form, "usernameEdit")->text(), QStringLiteral("bob"));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestSignInForm)
#include "tst_signinform.moc"
