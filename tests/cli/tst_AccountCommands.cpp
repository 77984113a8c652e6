#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "common/Base64Url.h"
#include "common/Settings.h"
#include "support/FakeServer.h"
#include "support/Fixtures.h"
#include "support/RunQuillet.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>

using namespace quillet;
using test::FakeResponse;
using test::FakeServer;
using test::QuilletRun;
using test::RecordedRequest;
using test::runQuillet;

namespace {

// A server may name a device with text that would clear the screen and forge a line.
const QString hostileName = QStringLiteral("Phone 2\x1b[2J\r\n$ ok");
const QString hostileNameShown = QStringLiteral(R"(Phone 2\x1b[2J\r\n$ ok)");

QJsonArray deviceList(int count) {
    QJsonArray list = test::devices(count, QStringLiteral("android"));
    if (count > 1) {
        QJsonObject second = list[1].toObject();
        second["device_name"] = hostileName;
        list[1] = second;
    }
    return list;
}

} // namespace

// The account commands of the `quillet` executable against a fake server. The child inherits
// the test's private XDG folders, so it shares the settings and the credential file.
class TestAccountCommands : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<FakeServer> m_server;

    void signIn() {
        KeychainService keychain(std::make_unique<FileCredentialBackend>());
        keychain.save(QStringLiteral("acc"), KeychainService::accessTokenKey);
        keychain.save(QStringLiteral("ref"), KeychainService::refreshTokenKey);
    }

private slots:
    void init() {
        m_server = std::make_unique<FakeServer>();
        Settings::write(Settings::serverURL, m_server->baseUrl());
    }
    void cleanup() { m_server.reset(); }

    // Each fails at once with its reason, sends no request it should not, and leaves the
    // working server URL in place ("UNSET" runs without one).
    void failuresExitWithTheFlowsText_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("sign-in refused")
            << QStringList{"login"} << "Authentication failed. Please sign in again.";
        QTest::newRow("no session")
            << QStringList{"devices"} << "Session expired. Please sign in again.";
        QTest::newRow("no passkey") << QStringList{"login", "--server", "SERVER"}
                                    << "No passkey found for this server. Create an account first.";
        QTest::newRow("header in the URL")
            << QStringList{"register", "--server", "https://x/\r\nA: b", "--username", "u"}
            << "is not an http or https URL; nothing was changed";
        QTest::newRow("unreachable server")
            << QStringList{"login", "--server", "http://127.0.0.1:9"} << "";
    }
    void failuresExitWithTheFlowsText() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        args.replaceInStrings(QStringLiteral("SERVER"), m_server->baseUrl());
        m_server->on("POST", QStringLiteral("/api/auth/passkey/authenticate/options"),
                     args.size() == 1
                         ? FakeResponse::raw(401, {})
                         : FakeResponse::json(
                               200, QJsonObject{{"challenge", "AAEC"}, {"rpId", "other.test"}}));
        m_server->on("GET", QStringLiteral("/api/paired-devices"), FakeResponse::raw(401, {}));
        const std::optional<QString> server = Settings::readText(Settings::serverURL);
        const QuilletRun outcome = runQuillet(args);
        QCOMPARE(outcome.status, 1);
        QVERIFY2(outcome.err.contains(message), qPrintable(outcome.err));
        if (message.contains(QLatin1String("nothing was changed")))
            QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(Settings::readText(Settings::serverURL), server);
    }

    // The life cycle of an account against the real relay is in tests/server; here, what a
    // hostile server could send, and a removal that was not confirmed.
    void pairDevicesAndRemove() {
        m_server->on("GET", QStringLiteral("/api/paired-devices"),
                     FakeResponse::json(200, deviceList(2)));
        m_server->on("DELETE", QStringLiteral("/api/paired-devices/d1"),
                     FakeResponse::raw(204, {}));
        signIn();
        // Pairing ends when a second phone appears in the list.
        m_server->on("POST", QStringLiteral("/api/pair/initiate"),
                     FakeResponse::json(200, QJsonObject{{"code", "ABC123"}, {"expires_in", 300}}));
        m_server->enqueue("GET", QStringLiteral("/api/paired-devices"),
                          FakeResponse::json(200, deviceList(1)));
        const QuilletRun outcome = runQuillet({"pair"});
        QVERIFY2(outcome.status == 0, qPrintable(outcome.err));
        QVERIFY(outcome.out.contains(QLatin1String("ABC 123")));
        QVERIFY(outcome.out.contains(QStringLiteral("Paired %1 (android).").arg(hostileNameShown)));
        QVERIFY(!outcome.out.contains(QChar(0x1b)));

        const QuilletRun listed = runQuillet({"devices"});
        QCOMPARE(listed.status, 0);
        QVERIFY2(listed.out.contains(hostileNameShown), qPrintable(listed.out));
        QVERIFY(!listed.out.contains(QChar(0x1b)) && !listed.out.contains(QChar('\r')));

        // No terminal: nothing is asked and nothing removed.
        QuilletRun refused = runQuillet({"devices", "remove", "d1"}, {}, "y\n");
        QCOMPARE(refused.status, 1);
        QVERIFY(m_server->requests("DELETE", "/api/paired-devices/d1").isEmpty());

        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("script(1) is missing: the terminal prompt cannot be tried");
        const QString command = QStringLiteral("'%1' devices remove d1").arg(QUILLET_BINARY);
        QProcess terminal;
        QSignalSpy finished(&terminal, &QProcess::finished);
        for (const QByteArray &answer : {QByteArray("n\n"), QByteArray("y\n")}) {
            terminal.start(script, {"-qec", command, "/dev/null"});
            terminal.write(answer);
            QVERIFY(finished.wait(30000));
            const QString shown = QString::fromUtf8(terminal.readAll());
            QVERIFY2(shown.contains(QLatin1String("Disconnect Phone 1? [y/N]")), qPrintable(shown));
            QCOMPARE(terminal.exitCode(), answer == "y\n" ? 0 : 1);
            QCOMPARE(m_server->requests("DELETE", "/api/paired-devices/d1").size(),
                     answer == "y\n" ? 1 : 0);
        }
    }
};

QUILLET_TEST_GUILESS_MAIN(TestAccountCommands)
#include "tst_AccountCommands.moc"
