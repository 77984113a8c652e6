#include "support/FakeServer.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <memory>

using namespace quillet::test;

namespace {

struct Answer {
    int status = 0;
    QByteArray body;
};

Answer send(QNetworkAccessManager &manager, const QByteArray &method, const QString &url,
            const QByteArray &body = {}) {
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(5000);
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    std::unique_ptr<QNetworkReply> reply(manager.sendCustomRequest(request, method, body));
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 15000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

} // namespace

class TestFakeServer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void answersInRouteOrder() {
        FakeServer server;
        QNetworkAccessManager manager;
        server.on("GET", QStringLiteral("/a"), FakeResponse::raw(200, "standing"));
        server.on("GET", QRegularExpression(QStringLiteral("/items/(\\w+)")),
                  [](const RecordedRequest &r) { return FakeResponse::raw(200, r.path.toUtf8()); });
        server.enqueue("GET", QStringLiteral("/a"), FakeResponse::raw(201, "first"));
        server.enqueue("GET", QStringLiteral("/a"), FakeResponse::raw(202, "second"));

        const QString base = server.baseUrl();
        QCOMPARE(send(manager, "GET", base + "/a").body, QByteArray("first"));
        QCOMPARE(send(manager, "GET", base + "/a").status, 202);
        QCOMPARE(send(manager, "GET", base + "/a").body, QByteArray("standing"));
        QCOMPARE(send(manager, "GET", base + "/items/x7").body, QByteArray("/items/x7"));
        // The pattern must cover the whole path, and the method must match.
        const Answer longer = send(manager, "GET", base + "/items/x7/more");
        QCOMPARE(longer.status, 404);
        QCOMPARE(longer.body, QByteArray("{}"));
        QCOMPARE(send(manager, "POST", base + "/a", "{}").status, 404);
        QCOMPARE(server.requests().size(), 6);
        QCOMPARE(server.requests("GET", QStringLiteral("/a")).size(), 3);
    }

    void servesPipelinedAndPartialRequestsInOrder() {
        FakeServer server;
        server.on("GET", QStringLiteral("/one"), FakeResponse::raw(200, "1"));
        // Delayed, so the second answer must wait behind it.
        FakeResponse slow = FakeResponse::raw(200, "2");
        slow.delayMs = 100;
        server.on("POST", QStringLiteral("/two"), slow);

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(socket.waitForConnected(5000));
        const QByteArray both = "POST /two HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
                                "GET /one HTTP/1.1\r\nHost: x\r\n\r\n";
        // In three pieces, one of them cutting the first body in half.
        socket.write(both.left(20));
        socket.flush();
        QTest::qWait(20);
        socket.write(both.mid(20, 30));
        socket.flush();
        QTest::qWait(20);
        socket.write(both.mid(50));
        QByteArray received;
        QVERIFY(QTest::qWaitFor(
            [&] {
                received += socket.readAll();
                return received.count("HTTP/1.1 200") == 2 && received.endsWith("1");
            },
            5000));
        QVERIFY(received.indexOf("\r\n\r\n2") < received.indexOf("\r\n\r\n1"));
        QCOMPARE(server.requests().size(), 2);
        QCOMPARE(server.requests().first().body, QByteArray("hello"));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestFakeServer)
#include "tst_fakeserver.moc"
