#include "server/Store.h"

#include "server/Database.h"

namespace quillet {

Store::Store(const QString &location) {
    m_thread.setObjectName(QStringLiteral("quillet-store"));
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    QString failure;
    const auto open = [this, &location, &failure] {
        try {
            m_database = std::make_unique<Database>(location);
            m_driver = m_database->driverName();
        } catch (const std::exception &error) {
            failure = QString::fromUtf8(error.what());
        }
    };
    QMetaObject::invokeMethod(m_worker, open, Qt::BlockingQueuedConnection);
    if (!failure.isEmpty()) {
        m_thread.quit();
        m_thread.wait();
        delete m_worker;
        throw std::runtime_error(failure.toStdString());
    }
}

Store::~Store() {
    // The connection closes on the thread that opened it.
    const auto close = [this] { m_database.reset(); };
    QMetaObject::invokeMethod(m_worker, close, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void Store::recover() {
    m_database->reopenIfLost();
}

void Store::enqueue(std::function<void(Database &)> job) {
    QMetaObject::invokeMethod(
        m_worker, [this, job = std::move(job)] { job(*m_database); }, Qt::QueuedConnection);
}

void Store::enqueueBlocking(std::function<void(Database &)> job) {
    QMetaObject::invokeMethod(
        m_worker, [this, &job] { job(*m_database); }, Qt::BlockingQueuedConnection);
}

} // namespace quillet
