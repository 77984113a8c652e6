#include "support/FakeServer.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QtTest>

namespace quillet::test {

namespace {

QByteArray routeKey(const QByteArray &method, const QString &path) {
    return method.toUpper() + ' ' + path.toUtf8();
}

// Parses one complete request off the front of `buffer`; nothing while it is still partial.
std::optional<RecordedRequest> takeRequest(QByteArray &buffer) {
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return std::nullopt;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    RecordedRequest request;
    qsizetype contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.insert(name, value);
        if (name == "content-length")
            contentLength = value.toLongLong();
    }
    const qsizetype total = headerEnd + 4 + contentLength;
    if (buffer.size() < total)
        return std::nullopt;

    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    request.method = requestLine.value(0).toUpper();
    const QByteArray target = requestLine.value(1);
    const qsizetype question = target.indexOf('?');
    request.path = QString::fromUtf8(question < 0 ? target : target.left(question));
    if (question >= 0)
        request.query = QUrlQuery(QString::fromUtf8(target.mid(question + 1)));
    request.body = buffer.mid(headerEnd + 4, contentLength);
    buffer.remove(0, total);
    return request;
}

} // namespace

FakeResponse FakeResponse::json(int status, const QJsonValue &value) {
    FakeResponse response;
    response.status = status;
    response.body = value.isArray()
                        ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                        : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return response;
}

FakeResponse FakeResponse::raw(int status, const QByteArray &body) {
    FakeResponse response;
    response.status = status;
    response.body = body;
    return response;
}

FakeServer::FakeServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this)) {
    listen();
}

FakeServer::FakeServer(const QString &certificateFile, const QString &keyFile, QObject *parent)
    : QObject(parent), m_tls(true) {
    QFile certificate(certificateFile);
    QFile key(keyFile);
    if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        qFatal("FakeServer cannot read %s or %s", qPrintable(certificateFile), qPrintable(keyFile));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(QSslCertificate(&certificate, QSsl::Pem));
    configuration.setPrivateKey(QSslKey(&key, QSsl::Ec, QSsl::Pem));
    auto *server = new QSslServer(this);
    server->setSslConfiguration(configuration);
    // A connection is pending only once its handshake is done.
    connect(server, &QSslServer::pendingConnectionAvailable, this, &FakeServer::accept);
    m_server = server;
    listen();
}

void FakeServer::listen() {
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qFatal("FakeServer cannot listen: %s", qPrintable(m_server->errorString()));
    connect(m_server, &QTcpServer::newConnection, this, &FakeServer::accept);
}

FakeServer::~FakeServer() {
    // The sockets die with the listening server; none may call back into this half-destroyed
    // object.
    for (QTcpSocket *socket : m_server->findChildren<QTcpSocket *>())
        socket->disconnect(this);
    delete m_server;
}

QString FakeServer::baseUrl() const {
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_tls ? "https" : "http").arg(port());
}

quint16 FakeServer::port() const {
    return m_server->serverPort();
}

void FakeServer::on(const QByteArray &method, const QString &path, FakeResponse response) {
    const QRegularExpression exact(
        QRegularExpression::anchoredPattern(QRegularExpression::escape(path)));
    m_routes.append(
        {method.toUpper(), exact, [response](const RecordedRequest &) { return response; }});
}

void FakeServer::on(const QByteArray &method, const QRegularExpression &path, Handler handler) {
    const QRegularExpression whole(QRegularExpression::anchoredPattern(path.pattern()),
                                   path.patternOptions());
    m_routes.append({method.toUpper(), whole, std::move(handler)});
}

void FakeServer::enqueue(const QByteArray &method, const QString &path, FakeResponse response) {
    m_queued[routeKey(method, path)].append(std::move(response));
}

QList<RecordedRequest> FakeServer::requests(const QByteArray &method, const QString &path) const {
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : m_requests) {
        if (request.method == method.toUpper() && request.path == path)
            matching.append(request);
    }
    return matching;
}

bool FakeServer::waitForRequestCount(int count, int timeoutMs) {
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
}

void FakeServer::accept() {
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_connections.insert(socket, Connection{});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            m_connections[socket].buffer.append(socket->readAll());
            pump(socket);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeServer::pump(QTcpSocket *socket) {
    auto it = m_connections.find(socket);
    while (it != m_connections.end() && !it->busy) {
        std::optional<RecordedRequest> request = takeRequest(it->buffer);
        if (!request)
            return;
        m_requests.append(*request);
        Q_EMIT requestRecorded(*request);
        const FakeResponse response = respond(*request);
        const bool close = request->headers.value("connection").toLower() == "close";
        if (response.dropConnection) {
            m_connections.remove(socket);
            socket->abort();
            socket->deleteLater();
            return;
        }
        // An endless body holds the connection for good.
        it->busy = response.endless;
        if (response.delayMs > 0) {
            it->busy = true;
            QTimer::singleShot(response.delayMs, socket, [this, socket, response, close] {
                auto later = m_connections.find(socket);
                if (later == m_connections.end())
                    return;
                later->busy = response.endless;
                write(socket, response, close);
                pump(socket);
            });
            return;
        }
        write(socket, response, close);
        it = m_connections.find(socket);
    }
}

FakeResponse FakeServer::respond(const RecordedRequest &request) {
    auto queued = m_queued.find(routeKey(request.method, request.path));
    if (queued != m_queued.end() && !queued->isEmpty())
        return queued->takeFirst();
    for (auto route = m_routes.crbegin(); route != m_routes.crend(); ++route) {
        if (route->method == request.method && route->path.match(request.path).hasMatch())
            return route->handler(request);
    }
    return FakeResponse::raw(404, "{}");
}

void FakeServer::write(QTcpSocket *socket, const FakeResponse &response, bool close) {
    // No client reads the reason phrase.
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Status\r\n";
    head += "Content-Type: " + response.contentType + "\r\n";
    if (!response.location.isEmpty())
        head += "Location: " + response.location + "\r\n";
    if (response.endless) {
        socket->write(head + "Transfer-Encoding: chunked\r\n\r\n");
        const auto chunk = [](const QByteArray &data) {
            return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
        };
        if (!response.body.isEmpty())
            socket->write(chunk(response.body));
        // Keeps a few chunks queued, so the client can read as fast as it likes.
        const QByteArray filler = chunk(QByteArray(64 * 1024, ' '));
        const auto feed = [socket, filler] {
            while (socket->bytesToWrite() < 4 * filler.size())
                socket->write(filler);
        };
        connect(socket, &QTcpSocket::bytesWritten, socket, feed);
        feed();
        return;
    }
    head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    socket->write(head);
    socket->write(response.body);
    if (close) {
        m_connections.remove(socket);
        socket->disconnectFromHost();
    }
}

} // namespace quillet::test
