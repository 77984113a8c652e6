#include "api/DecodingError.h"
#include "api/JsonDecoder.h"
#include "api/LoginResponse.h"
#include "api/PairInitiateResponse.h"
#include "api/PairedDeviceResponse.h"
#include "support/TestEnvironment.h"

using namespace quillet;

class TestJsonDecoder : public QObject {
    Q_OBJECT
private slots:
    void convertFromSnakeCase_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("converted");
        QTest::newRow("three words") << "last_seen_at"
                                     << "lastSeenAt";
        QTest::newRow("no underscore kept") << "URL"
                                            << "URL";
        QTest::newRow("words lower-cased") << "USER_ID"
                                           << "userId";
        QTest::newRow("outer underscores kept") << "_user_id__"
                                                << "_userId__";
        QTest::newRow("double underscore") << "a__b"
                                           << "aB";
        QTest::newRow("only underscores") << "__"
                                          << "__";
    }
    void convertFromSnakeCase() {
        QFETCH(QString, key);
        QFETCH(QString, converted);
        QCOMPARE(JsonDecoder::convertFromSnakeCase(key), converted);
    }

    void recordsTakeBothKeyStyles() {
        const auto snake = JsonDecoder::decode<LoginResponse>(
            R"({"access_token":"a","refresh_token":"r","user_id":"u","extra":1})");
        QCOMPARE(snake.accessToken, QStringLiteral("a"));
        QCOMPARE(snake.refreshToken, QStringLiteral("r"));
        QCOMPARE(snake.userId, QStringLiteral("u"));
        const auto camel =
            JsonDecoder::decode<PairInitiateResponse>(R"({"code":"ABC123","expiresIn":300})");
        QCOMPARE(camel.code, QStringLiteral("ABC123"));
        QCOMPARE(camel.expiresIn, 300);
    }

    void failures_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("not JSON") << QByteArray("<html>");
        QTest::newRow("member missing") << QByteArray(R"({"code":"ABC123"})");
        QTest::newRow("string instead of number")
            << QByteArray(R"({"code":"A","expires_in":"300"})");
        QTest::newRow("fraction") << QByteArray(R"({"code":"A","expires_in":1.5})");
        QTest::newRow("number instead of string") << QByteArray(R"({"code":7,"expires_in":1})");
        QTest::newRow("null") << QByteArray(R"({"code":null,"expires_in":1})");
    }
    void failures() {
        QFETCH(QByteArray, body);
        QVERIFY_THROWS_EXCEPTION(DecodingError, JsonDecoder::decode<PairInitiateResponse>(body));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestJsonDecoder)
#include "tst_JsonDecoder.moc"
