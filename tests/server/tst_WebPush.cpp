#include "common/Base64Url.h"
#include "server/EcKey.h"
#include "server/WebPushMessage.h"

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
    // message's 4096 bytes, and a longer one gives nothing. (A message that Node's http_ece reads,
    // and the VAPID token of keys the relay stored and read back, are checked through the relay:
    // tst_RelayApi, webPush.)
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
};

QTEST_GUILESS_MAIN(TestWebPush)
#include "tst_WebPush.moc"
