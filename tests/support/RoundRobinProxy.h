#pragma once

#include <QList>
#include <QString>
#include <QThread>
#include <atomic>
#include <memory>

class QObject;
class QTcpServer;

namespace quillet::test {

// A TCP proxy on 127.0.0.1 that hands each new connection to the next of several local servers in
// turn, so that a client's consecutive connections land on different ones, as behind a load
// balancer. It runs on a thread of its own: the test's thread may block on a child process while
// that process talks through it.
class RoundRobinProxy {
public:
    explicit RoundRobinProxy(QList<quint16> ports);
    ~RoundRobinProxy();
    RoundRobinProxy(const RoundRobinProxy &) = delete;
    RoundRobinProxy &operator=(const RoundRobinProxy &) = delete;

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    // Connections handed to the server at `index` of the ports so far.
    int connections(int index) const { return m_connections[std::size_t(index)]; }

private:
    void accept();

    QList<quint16> m_ports;
    QThread m_thread;
    // Owns the listener and every socket; lives on m_thread.
    QObject *m_root = nullptr;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    std::size_t m_next = 0;
    std::unique_ptr<std::atomic<int>[]> m_connections;
};

} // namespace quillet::test
