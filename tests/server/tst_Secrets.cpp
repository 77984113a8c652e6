#include "common/Base64Url.h"
#include "server/Secrets.h"

#include <QSet>
#include <QTest>

using namespace quillet;

class TestSecrets : public QObject {
    Q_OBJECT
private slots:
    void tokensAreFullLengthAndDistinct() {
        QSet<QString> seen;
        for (int i = 0; i < 100; ++i) {
            const QString token = Secrets::newToken();
            QCOMPARE(Base64Url::decode(token).value_or(QByteArray()).size(), 32);
            seen.insert(token);
        }
        QCOMPARE(seen.size(), 100);
    }

    void equalConstantTime_data() {
        QTest::addColumn<QByteArray>("other");
        QTest::addColumn<bool>("equal");
        QTest::newRow("same") << Secrets::hashToken(QStringLiteral("token")) << true;
        QTest::newRow("last byte")
            << Secrets::hashToken(QStringLiteral("token")).chopped(1) + 'x' << false;
        QTest::newRow("prefix") << Secrets::hashToken(QStringLiteral("token")).left(16) << false;
        QTest::newRow("other token") << Secrets::hashToken(QStringLiteral("tokem")) << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void equalConstantTime() {
        QFETCH(QByteArray, other);
        QFETCH(bool, equal);
        const QByteArray stored = Secrets::hashToken(QStringLiteral("token"));
        QCOMPARE(Secrets::equalConstantTime(stored, other), equal);
        QCOMPARE(Secrets::equalConstantTime(other, stored), equal);
    }
};

QTEST_GUILESS_MAIN(TestSecrets)
#include "tst_Secrets.moc"
