#include "support/RoundRobinProxy.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace quillet::test {

RoundRobinProxy::RoundRobinProxy(QList<quint16> ports)
    : m_ports(std::move(ports)), m_connections(new std::atomic<int>[std::size_t(m_ports.size())]) {
    for (qsizetype i = 0; i < m_ports.size(); ++i)
        m_connections[std::size_t(i)] = 0;
    m_thread.setObjectName(QStringLiteral("round-robin-proxy"));
    m_root = new QObject;
    m_root->moveToThread(&m_thread);
    m_thread.start();
    const auto start = [this] {
        m_server = new QTcpServer(m_root);
        QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] { accept(); });
        if (m_server->listen(QHostAddress::LocalHost, 0))
            m_port = m_server->serverPort();
    };
    QMetaObject::invokeMethod(m_root, start, Qt::BlockingQueuedConnection);
}

RoundRobinProxy::~RoundRobinProxy() {
    // The sockets go on the thread they belong to.
    QMetaObject::invokeMethod(
        m_root, [this] { delete m_root; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void RoundRobinProxy::accept() {
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        const std::size_t index = m_next++ % std::size_t(m_ports.size());
        ++m_connections[index];
        auto *upstream = new QTcpSocket(m_root);
        // What the client sends before the server answered the connection waits in the buffer.
        upstream->connectToHost(QHostAddress::LocalHost, m_ports.at(qsizetype(index)));
        QObject::connect(client, &QTcpSocket::readyRead, upstream,
                         [client, upstream] { upstream->write(client->readAll()); });
        QObject::connect(upstream, &QTcpSocket::readyRead, client,
                         [client, upstream] { client->write(upstream->readAll()); });
        // Whichever end hangs up, the other is closed once what was written to it has gone.
        const auto close = [client, upstream] {
            client->disconnectFromHost();
            upstream->disconnectFromHost();
            if (client->state() == QAbstractSocket::UnconnectedState &&
                upstream->state() == QAbstractSocket::UnconnectedState) {
                client->deleteLater();
                upstream->deleteLater();
            }
        };
        QObject::connect(client, &QTcpSocket::disconnected, upstream, close);
        QObject::connect(upstream, &QTcpSocket::disconnected, client, close);
        QObject::connect(upstream, &QTcpSocket::errorOccurred, client,
                         [client, upstream, close](QAbstractSocket::SocketError) {
                             if (upstream->state() != QAbstractSocket::ConnectedState) {
                                 client->abort();
                                 close();
                             }
                         });
    }
}

} // namespace quillet::test
