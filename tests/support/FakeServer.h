#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QUrlQuery>
#include <functional>

class QTcpServer;
class QTcpSocket;

namespace quillet::test {

struct RecordedRequest {
    QByteArray method;
    // The path as sent on the wire: percent-encoding is kept, so "a%2Fb" and "a/b" differ.
    QString path;
    QUrlQuery query;
    // Header names in lower case.
    QHash<QByteArray, QByteArray> headers;
    QByteArray body;

    QJsonDocument json() const { return QJsonDocument::fromJson(body); }
};

struct FakeResponse {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    // Answer this much later (longer than a client's time-out to provoke one).
    int delayMs = 0;
    // Close the connection without answering.
    bool dropConnection = false;
    // Stream a chunked body that never ends: `body`, then filler, until the client hangs up.
    bool endless = false;
    // Sent as the Location header (a redirect the client must not follow).
    QByteArray location;

    static FakeResponse json(int status, const QJsonValue &value);
    static FakeResponse raw(int status, const QByteArray &body);
};

// A scriptable HTTP/1.1 server on 127.0.0.1 and a free port, for tests of the clients. It records
// every request and answers from one-shot answers queued per route, then standing answers (the
// newest registration wins), else 404 with an empty JSON object. Keep-alive and pipelined
// requests are served in order; a delayed answer holds back the later ones of its connection.
class FakeServer : public QObject {
    Q_OBJECT
public:
    explicit FakeServer(QObject *parent = nullptr);
    // The same over HTTPS, with this PEM certificate and key.
    FakeServer(const QString &certificateFile, const QString &keyFile, QObject *parent = nullptr);
    ~FakeServer() override;

    QString baseUrl() const;
    quint16 port() const;

    using Handler = std::function<FakeResponse(const RecordedRequest &)>;
    void on(const QByteArray &method, const QString &path, FakeResponse response);
    // `path` must match the whole request path (query excluded).
    void on(const QByteArray &method, const QRegularExpression &path, Handler handler);
    void enqueue(const QByteArray &method, const QString &path, FakeResponse response);

    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requests(const QByteArray &method, const QString &path) const;
    void clearRequests() { m_requests.clear(); }
    // Runs the event loop until at least `count` requests were recorded; false on time-out.
    bool waitForRequestCount(int count, int timeoutMs = 5000);

Q_SIGNALS:
    void requestRecorded(const quillet::test::RecordedRequest &request);

private:
    struct Route {
        QByteArray method;
        QRegularExpression path;
        Handler handler;
    };
    struct Connection {
        QByteArray buffer;
        bool busy = false;
    };

    void accept();
    void pump(QTcpSocket *socket);
    FakeResponse respond(const RecordedRequest &request);
    void write(QTcpSocket *socket, const FakeResponse &response, bool close);

    void listen();

    QTcpServer *m_server;
    bool m_tls = false;
    QList<Route> m_routes;
    QHash<QByteArray, QList<FakeResponse>> m_queued; // "METHOD path" -> FIFO
    QHash<QTcpSocket *, Connection> m_connections;
    QList<RecordedRequest> m_requests;
};

} // namespace quillet::test
