#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "app/LocalServer.h"
#include "common/Settings.h"
#include "support/FakeServer.h"
#include "support/TestEnvironment.h"
#include "ui/FirstRunWindow.h"
#include "ui/SignInForm.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>

using namespace quillet;
using quillet::test::FakeResponse;
using quillet::test::FakeServer;

// The desktop's first run, offscreen: another server leads to the sign-in window with its
// address; this computer's server is started (the built relay, on loopback), the account made
// with the software passkey, and the pairing window comes next. Then the sign-in form refused.
class TestFirstRunWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void bothChoices();
    void signInFormRefused();
};

void TestFirstRunWindow::bothChoices() {
    AuthViewModel model(APIService::shared());
    LocalServer server;
    LocalServer::setExecutableForTesting(QStringLiteral(QUILLET_SERVER_BINARY));
    std::optional<QString> signInFor;
    int pairingOpened = 0;
    auto show = [&](FirstRunWindow &window) {
        window.openSignIn = [&](const QString &url) { signInFor = url; };
        window.openPairing = [&] { ++pairingOpened; };
        window.show();
        return window.findChild<QPushButton *>(QStringLiteral("continueButton"));
    };

    {
        FirstRunWindow window(model, server);
        QPushButton *proceed = show(window);
        window.findChild<QRadioButton *>(QStringLiteral("otherServerChoice"))->click();
        window.findChild<QLineEdit *>(QStringLiteral("serverURLEdit"))
            ->setText(QStringLiteral("https://relay.example.org"));
        proceed->click();
        QCOMPARE(signInFor, std::optional(QStringLiteral("https://relay.example.org")));
        // The choice is remembered; the address only with a sign-in that works.
        QVERIFY(Settings::contains(Settings::localServer));
        QVERIFY(!Settings::readBool(Settings::localServer));
        QVERIFY(!Settings::contains(Settings::serverURL));
    }

    FirstRunWindow window(model, server);
    QPushButton *proceed = show(window);
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost));
    const quint16 port = other.serverPort();
    window.setLocalAddress(QStringLiteral("127.0.0.1"), port);
    // Another program holds the port: said so, nothing stored, and the window stays.
    proceed->click();
    QTRY_VERIFY_WITH_TIMEOUT(proceed->isEnabled(), 10000);
    QVERIFY2(window.status().contains(QString::number(port)), qPrintable(window.status()));
    QVERIFY(!Settings::contains(Settings::serverURL));
    other.close();

    proceed->click();
    QTRY_COMPARE_WITH_TIMEOUT(pairingOpened, 1, 30000);
    QCOMPARE(Settings::readTextOrEmpty(Settings::serverURL),
             QStringLiteral("http://127.0.0.1:%1").arg(port));
    QVERIFY(Settings::readBool(Settings::localServer));
    QVERIFY(model.isAuthenticated());
    QVERIFY(!Settings::readTextOrEmpty(Settings::agentApiKey).isEmpty());
    QVERIFY(server.ownsProcess());
    QCOMPARE(signInFor, std::optional(QStringLiteral("https://relay.example.org")));
}

// A refusing server: one request however often the user presses on, and the refusal shown.
void TestFirstRunWindow::signInFormRefused() {
    FakeServer server;
    server.on("POST", QStringLiteral("/api/auth/passkey/authenticate/options"),
              FakeResponse::json(500, QJsonObject{{"error", "boom"}}));
    Settings::remove(Settings::serverURL);
    AuthViewModel model(APIService::shared());
    SignInForm form(model);
    form.show();
    auto *url = form.findChild<QLineEdit *>(QStringLiteral("serverURLEdit"));
    auto *primary = form.findChild<QPushButton *>(QStringLiteral("primaryButton"));
    url->clear();
    url->insert(server.baseUrl() + QLatin1Char('\n')); // as pasted, line break included
    primary->click();
    QVERIFY(model.isLoading());
    QTest::keyClick(url, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), 10000);
    QCOMPARE(server.requests().size(), 1);
    QVERIFY(!model.isAuthenticated());
    auto *error = form.findChild<QLabel *>(QStringLiteral("errorLabel"));
    QVERIFY(error->isVisible() && error->text().contains(QLatin1String("500")));
    QVERIFY(!Settings::contains(Settings::serverURL));
}

QUILLET_TEST_WIDGETS_MAIN(TestFirstRunWindow)
#include "tst_firstrunwindow.moc"
