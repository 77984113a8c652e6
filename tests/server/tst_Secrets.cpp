#include "server/Secrets.h"

#include <QTest>

using namespace quillet;

class TestSecrets : public QObject {
    Q_OBJECT
private slots:
    void equalConstantTime_data() {
        QTest::addColumn<QByteArray>("other");
        QTest::addColumn<bool>("equal");
        QTest::newRow("same") << Secrets::hashToken(QStringLiteral("token")) << true;
        QTest::newRow("last byte")
            << Secrets::hashToken(QStringLiteral("token")).chopped(1) + 'x' << false;
        QTest::newRow("prefix") << Secrets::hashToken(QStringLiteral("token")).left(16) << false;
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
