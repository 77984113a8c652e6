#include "common/Base64Url.h"
#include "support/TestEnvironment.h"

using namespace quillet;

class TestBase64Url : public QObject {
    Q_OBJECT
private slots:
    void decode_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("two = missing") << "AQ" << true << QByteArray("\x01", 1);
        QTest::newRow("url alphabet") << "-_8" << true << QByteArray("\xfb\xff", 2);
        QTest::newRow("standard alphabet too") << "+/8" << true << QByteArray("\xfb\xff", 2);
        QTest::newRow("padding kept") << "AQ==" << true << QByteArray("\x01", 1);
        QTest::newRow("character outside the alphabet") << "AQ*D" << false << QByteArray();
        QTest::newRow("blank inside") << "AQ ID" << false << QByteArray();
        QTest::newRow("non-ASCII") << QStringLiteral("AQé") << false << QByteArray();
        QTest::newRow("impossible length") << "AQIDB" << false << QByteArray();
        QTest::newRow("padding in the middle") << "AQ=D" << false << QByteArray();
    }
    void decode() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QByteArray, bytes);
        const auto decoded = Base64Url::decode(text);
        QCOMPARE(decoded.has_value(), valid);
        if (valid)
            QCOMPARE(*decoded, bytes);
    }
};

QUILLET_TEST_GUILESS_MAIN(TestBase64Url)
#include "tst_Base64Url.moc"
