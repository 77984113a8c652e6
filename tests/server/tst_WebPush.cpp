#include "common/Base64Url.h"
#include "server/EcKey.h"
#include "server/VapidKeys.h"
#include "server/WebPushMessage.h"
#include "support/WebPushReader.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace quillet;

namespace {

QByteArray decoded(const QString &text) {
    return Base64Url::decode(text).value_or(QByteArray());
}

} // namespace

class TestWebPush : public QObject {
    Q_OBJECT
private slots:
    // RFC 8291, section 5 and appendix A, byte for byte; the longest plaintext fills a push
    // message's 4096 bytes, and a longer one gives nothing. (A message that Node's http_ece reads
    // is checked through the relay: tst_RelayApi, webPush.)
    void publishedExample() {
        const auto sender = EcKey::fromPrivateScalar(
            decoded(QStringLiteral("yfWPiYE-n46HLnH0KqZOF1fJJU3MYrct3AELtAQ-oRw")));
        QVERIFY(sender);
        QCOMPARE(Base64Url::encode(sender->publicPoint()),
                 QStringLiteral("BP4z9KsN6nGRTbVYI_c7VJSPQTBtkgcy27mlmlMoZIIgDll6e3vCYLocInmYWAmS6"
                                "TlzAC8wEqKK6PBru3jl7A8"));
        const QByteArray receiver =
            decoded(QStringLiteral("BCVxsr7N_eNgVRqvHtD0zTZsEc6-VV-JvLexhqUzORcxaOzi6-"
                                   "AYWXvTBHm4bjyPjs7Vd8pZGH6SRpkNtoIAiw4"));
        const QByteArray auth = decoded(QStringLiteral("BTBZMqHH6r4Tts7J_aSIgg"));
        const QByteArray body = WebPushMessage::encrypt(
            QByteArrayLiteral("When I grow up, I want to be a watermelon"), receiver, auth, *sender,
            decoded(QStringLiteral("DGv6ra1nlYgDCS1FRnbzlw")));
        QCOMPARE(Base64Url::encode(body),
                 QStringLiteral("DGv6ra1nlYgDCS1FRnbzlwAAEABBBP4z9KsN6nGRTbVYI_c7VJSPQTBtkgcy27mlm"
                                "lMoZIIgDll6e3vCYLocInmYWAmS6TlzAC8wEqKK6PBru3jl7A_yl95bQpu6cVPTpK4"
                                "Mqgkf1CXztLVBSt2Ks3oZwbuwXPXLWyouBWLVWGNWQexSgSxsj_Qulcy4a-fN"));
        const QByteArray longest(WebPushMessage::maxPlaintextSize, 'q');
        QCOMPARE(WebPushMessage::encrypt(longest, receiver, auth).size(), 4096);
        QVERIFY(WebPushMessage::encrypt(longest + 'q', receiver, auth).isEmpty());
    }

    // Kept and restored keys sign a token that Node's crypto verifies with the original public
    // key, for the endpoint's origin (no default port, no path) and the given expiry; the
    // subject and a token of fresh keys are checked through the relay (tst_RelayApi, webPush).
    void vapidToken() {
        const auto made = VapidKeys::generate();
        QVERIFY(made);
        const auto restored = VapidKeys::fromStored(made->toStored());
        QVERIFY(restored);
        QVERIFY(!VapidKeys::fromStored(QStringLiteral("AAAA")));
        const QDateTime expiry = QDateTime::currentDateTimeUtc().addSecs(12 * 3600);
        const QString header = restored->authorization(
            QUrl(QStringLiteral("https://push.example.net:443/send/abc?x=1")),
            QStringLiteral("mailto:admin@quillet.test"), expiry);
        const QJsonObject answer = test::WebPushReader::read({{QStringLiteral("vapid"), header}});
        SKIP_WITHOUT_WEBPUSH_READER(answer);
        QVERIFY2(answer.value(QStringLiteral("verified")).toBool(), qPrintable(header));
        QCOMPARE(answer.value(QStringLiteral("key")).toString(), made->publicKey());
        const QJsonObject claims = answer.value(QStringLiteral("claims")).toObject();
        QCOMPARE(claims.value(QStringLiteral("aud")).toString(),
                 QStringLiteral("https://push.example.net"));
        QCOMPARE(claims.value(QStringLiteral("exp")).toInteger(), expiry.toSecsSinceEpoch());
    }
};

QTEST_GUILESS_MAIN(TestWebPush)
#include "tst_WebPush.moc"
