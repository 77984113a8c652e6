#include "api/KeychainService.h"
#include "api/SecretServiceCredentialBackend.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QStandardPaths>

using namespace quillet;

namespace {

constexpr int keyringUnavailable = 77;

bool isChild() {
    return qEnvironmentVariableIsSet("QUILLET_TEST_KEYRING_CHILD");
}

} // namespace

// The credential store on a real Secret Service. The test runs itself again inside a private
// D-Bus session with an unlocked GNOME Keyring of its own (in the test's temporary HOME), so it
// never sees the user's keyring; without those programs it is skipped.
class TestSecretServiceBackend : public QObject {
    Q_OBJECT
private slots:
    void secretService() {
        if (!isChild()) {
            runInPrivateSession();
            return;
        }
        if (!SecretServiceCredentialBackend::probe(5000)) {
            qInfo("the private keyring did not answer");
            std::exit(keyringUnavailable);
        }
        KeychainService keychain(std::make_unique<SecretServiceCredentialBackend>(5000));

        QVERIFY(keychain.save(QStringLiteral("first"), KeychainService::accessTokenKey));
        QVERIFY(keychain.save(QStringLiteral("second"), KeychainService::accessTokenKey));
        QCOMPARE(keychain.load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("second")));

        QVERIFY(keychain.save(QString(), KeychainService::userIdKey));
        QCOMPARE(keychain.load(KeychainService::userIdKey), std::optional(QString()));

        QVERIFY(keychain.save(QStringLiteral("Grüße 🔑"), KeychainService::refreshTokenKey));
        QCOMPARE(keychain.load(KeychainService::refreshTokenKey),
                 std::optional(QStringLiteral("Grüße 🔑")));

        QVERIFY(keychain.remove(KeychainService::accessTokenKey));
        QCOMPARE(keychain.load(KeychainService::accessTokenKey), std::nullopt);
        QVERIFY(keychain.remove(KeychainService::accessTokenKey));
        QVERIFY(keychain.remove(QStringLiteral("lorvo.fennick.quillet-mac.neverSaved")));

        QCOMPARE(keychain.backend().add(KeychainService::service, KeychainService::userIdKey,
                                        QByteArray("\xff\xfe", 2)),
                 0);
        QCOMPARE(keychain.load(KeychainService::userIdKey), std::nullopt);
    }

private:
    void runInPrivateSession() {
        const QString session = QStandardPaths::findExecutable(QStringLiteral("dbus-run-session"));
        const QString daemon =
            QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon"));
        if (session.isEmpty() || daemon.isEmpty())
            QSKIP("dbus-run-session or gnome-keyring-daemon is not installed");

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUILLET_TEST_KEYRING_CHILD"), QStringLiteral("1"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        // --unlock reads the new keyring's password on standard input; without it the daemon
        // would wait for a prompt that no one can answer.
        const QString script =
            QStringLiteral(
                "printf quillet-test | \"$1\" --unlock --components=secrets >/dev/null 2>&1 "
                "|| exit %1; shift; exec \"$@\"")
                .arg(keyringUnavailable);
        child.start(session,
                    {QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                     QStringLiteral("sh"), daemon, QCoreApplication::applicationFilePath(),
                     QStringLiteral("secretService")});
        QVERIFY2(child.waitForFinished(120000), "the private keyring session did not end");
        const QByteArray output = child.readAll();
        if (child.exitCode() == keyringUnavailable)
            QSKIP(qPrintable(QStringLiteral("could not start a private GNOME Keyring: ") +
                             QString::fromUtf8(output.right(300))));
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 output.constData());
    }
};

QUILLET_TEST_GUILESS_MAIN(TestSecretServiceBackend)
#include "tst_SecretServiceBackend.moc"
