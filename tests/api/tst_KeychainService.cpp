#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "api/SecretServiceCredentialBackend.h"
#include "support/TestEnvironment.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <sys/stat.h>

using namespace quillet;

namespace {

constexpr int keyringUnavailable = 77;

mode_t modeOf(const QString &path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

} // namespace

// The credential store on both its backends: a file of its own, and a real Secret Service. For
// the latter the test runs itself again inside a private D-Bus session with an unlocked GNOME
// Keyring of its own (in the test's temporary HOME), so it never sees the user's keyring; without
// those programs it is skipped.
class TestKeychainService : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString path() const { return m_dir.path() + QStringLiteral("/store/credentials.json"); }
    KeychainService store() const {
        return KeychainService(std::make_unique<FileCredentialBackend>(path()));
    }

    // What either backend keeps and refuses.
    static void roundTrip(KeychainService &keychain) {
        QVERIFY(keychain.remove(KeychainService::userIdKey)); // missing is no failure
        QVERIFY(keychain.save(QStringLiteral("first"), KeychainService::accessTokenKey));
        QVERIFY(keychain.save(QStringLiteral("Grüße 🔑\r\n"), KeychainService::accessTokenKey));
        QCOMPARE(keychain.load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("Grüße 🔑\r\n")));
        QVERIFY(keychain.save(QString(), KeychainService::refreshTokenKey));
        QCOMPARE(keychain.load(KeychainService::refreshTokenKey), std::optional(QString()));
        QVERIFY(keychain.remove(KeychainService::refreshTokenKey));
        QCOMPARE(keychain.load(KeychainService::refreshTokenKey), std::nullopt);
        // Bytes that are not UTF-8 are no value.
        QCOMPARE(keychain.backend().add(KeychainService::service, KeychainService::userIdKey,
                                        QByteArray("\xff\xfe bad", 6)),
                 0);
        QCOMPARE(keychain.load(KeychainService::userIdKey), std::nullopt);
    }

private slots:
    void fileKeepsItemsPrivatelyAndApart() {
        KeychainService keychain = store();
        roundTrip(keychain);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(keychain.backend().add(QStringLiteral("other.service"),
                                       KeychainService::accessTokenKey, "foreign") == 0);
        // Nothing is cached: a second store on the same file sees the items.
        QCOMPARE(store().load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("Grüße 🔑\r\n")));
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject items = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(items.value(QStringLiteral("other.service")).toObject().size(), 1);
        QCOMPARE(modeOf(path()), mode_t(0600));
        QCOMPARE(modeOf(QFileInfo(path()).absolutePath()), mode_t(0700));
        // No temporary file is left beside it.
        QCOMPARE(QDir(QFileInfo(path()).absolutePath()).entryList(QDir::Files),
                 QStringList{QStringLiteral("credentials.json")});
        // Text that cannot be stored as it is is refused.
        QVERIFY(!keychain.save(QString(QChar(0xd800)), KeychainService::userIdKey));
    }

    void corruptFileIsReplacedAndFailedSaveSaysSo() {
        QDir().mkpath(QFileInfo(path()).absolutePath());
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{not json");
        file.close();
        KeychainService keychain = store();
        QCOMPARE(keychain.load(KeychainService::accessTokenKey), std::nullopt);
        QVERIFY(keychain.save(QStringLiteral("fresh"), KeychainService::accessTokenKey));
        QCOMPARE(keychain.load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("fresh")));

        // That file where a folder should be: nothing can be written below it, and saving says so.
        KeychainService below(std::make_unique<FileCredentialBackend>(path() + "/c.json"));
        QVERIFY(!below.save(QStringLiteral("x"), QStringLiteral("some.key")));
        // The test main forces QUILLET_CREDENTIAL_STORE=file: no test reaches the user's keyring.
        const auto backend = KeychainService::chooseBackend();
        auto *chosen = dynamic_cast<FileCredentialBackend *>(backend.get());
        QVERIFY(chosen && chosen->path().startsWith(test::TestEnvironment::current()->dataHome()));
    }

    void secretService() {
        if (qEnvironmentVariableIsSet("QUILLET_TEST_KEYRING_CHILD")) {
            if (!SecretServiceCredentialBackend::probe(5000)) {
                qInfo("the private keyring did not answer");
                std::exit(keyringUnavailable);
            }
            KeychainService keychain(std::make_unique<SecretServiceCredentialBackend>(5000));
            roundTrip(keychain);
            return;
        }
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

QUILLET_TEST_GUILESS_MAIN(TestKeychainService)
#include "tst_KeychainService.moc"
