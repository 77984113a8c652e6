#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "support/StdoutCapture.h"
#include "support/TestEnvironment.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <sys/stat.h>

using namespace quillet;

namespace {

mode_t modeOf(const QString &path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

} // namespace

// The credential store on its file backend; the Secret Service has its own test.
class TestKeychainService : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString path() const { return m_dir.path() + QStringLiteral("/store/credentials.json"); }
    KeychainService store() const {
        return KeychainService(std::make_unique<FileCredentialBackend>(path()));
    }

private slots:
    void init() { QFile::remove(path()); }

    void itemsRoundTripPrivatelyAndApart() {
        KeychainService keychain = store();
        QVERIFY(keychain.remove(KeychainService::userIdKey)); // missing is no failure
        QVERIFY(keychain.save(QStringLiteral("first"), KeychainService::accessTokenKey));
        QVERIFY(keychain.save(QString(), KeychainService::refreshTokenKey));
        QVERIFY(keychain.backend().add(QStringLiteral("other.service"),
                                       KeychainService::accessTokenKey, "foreign") == 0);
        QVERIFY(keychain.save(QStringLiteral("Grüße 🔑\r\n"), KeychainService::accessTokenKey));
        // Nothing is cached: a second store on the same file sees the items.
        QCOMPARE(store().load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("Grüße 🔑\r\n")));
        QCOMPARE(store().load(KeychainService::refreshTokenKey), std::optional(QString()));
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject items = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(items.value(KeychainService::service).toObject().size(), 2);
        QCOMPARE(items.value(QStringLiteral("other.service")).toObject().size(), 1);
        QCOMPARE(modeOf(path()), mode_t(0600));
        QCOMPARE(modeOf(QFileInfo(path()).absolutePath()), mode_t(0700));
        // No temporary file is left beside it.
        QCOMPARE(QDir(QFileInfo(path()).absolutePath()).entryList(QDir::Files),
                 QStringList{QStringLiteral("credentials.json")});

        QVERIFY(keychain.remove(KeychainService::accessTokenKey));
        QCOMPARE(keychain.load(KeychainService::accessTokenKey), std::nullopt);
        // Text that cannot be stored as it is, and bytes that are not UTF-8, are no value.
        QVERIFY(!keychain.save(QString(QChar(0xd800)), KeychainService::userIdKey));
        QCOMPARE(keychain.load(KeychainService::userIdKey), std::nullopt);
        QCOMPARE(keychain.backend().add(KeychainService::service, KeychainService::userIdKey,
                                        QByteArray("\xff\xfe bad", 6)),
                 0);
        QCOMPARE(keychain.load(KeychainService::userIdKey), std::nullopt);
    }

    void corruptFileReadsEmptyAndIsReplaced() {
        QDir().mkpath(QFileInfo(path()).absolutePath());
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{not json");
        file.close();
        KeychainService keychain = store();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be read"));
        QCOMPARE(keychain.load(KeychainService::accessTokenKey), std::nullopt);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be read"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be read"));
        QVERIFY(keychain.save(QStringLiteral("fresh"), KeychainService::accessTokenKey));
        QCOMPARE(keychain.load(KeychainService::accessTokenKey),
                 std::optional(QStringLiteral("fresh")));
    }

    void failedSavePrintsItsLine() {
        // A regular file where the folder should be: nothing can be written below it.
        QFile blocker(m_dir.path() + QStringLiteral("/blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        KeychainService keychain(std::make_unique<FileCredentialBackend>(
            blocker.fileName() + QStringLiteral("/c.json")));
        test::StdoutCapture capture;
        QVERIFY(!keychain.save(QStringLiteral("x"), QStringLiteral("some.key")));
        QCOMPARE(capture.text(),
                 QByteArray("⚠️ Keychain SecItemAdd failed: -1 for key: some.key\n"));
        // The test main forces QUILLET_CREDENTIAL_STORE=file, in the isolated data folder.
        const auto backend = KeychainService::chooseBackend();
        auto *chosen = dynamic_cast<FileCredentialBackend *>(backend.get());
        QVERIFY(chosen);
        QVERIFY(chosen->path().startsWith(test::TestEnvironment::current()->dataHome()));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestKeychainService)
#include "tst_KeychainService.moc"
