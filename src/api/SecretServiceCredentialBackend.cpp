#include "api/SecretServiceCredentialBackend.h"

#include <QEventLoop>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace quillet {

namespace {

// Runs `job` to its end or until the time-out and answers whether it finished. QtKeychain may
// emit finished() twice on the delete path, so the wait listens once. A job still running when
// the wait gives up deletes itself whenever it does finish.
bool runJob(QKeychain::Job *job, int timeoutMs) {
    job->setAutoDelete(false);
    bool finished = false;
    QEventLoop loop;
    QObject::connect(
        job, &QKeychain::Job::finished, &loop,
        [&finished, &loop] {
            finished = true;
            loop.quit();
        },
        Qt::SingleShotConnection);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    job->start();
    if (!finished)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return finished;
}

void dispose(QKeychain::Job *job, bool finished) {
    if (finished)
        job->deleteLater();
    else
        job->setAutoDelete(true);
}

} // namespace

SecretServiceCredentialBackend::SecretServiceCredentialBackend(int timeoutMs)
    : m_timeoutMs(timeoutMs) {}

bool SecretServiceCredentialBackend::probe(int timeoutMs) {
    auto *job = new QKeychain::ReadPasswordJob(QStringLiteral("lorvo.fennick.quillet-mac"));
    job->setKey(QStringLiteral("lorvo.fennick.quillet-mac.probe"));
    const bool finished = runJob(job, timeoutMs);
    const bool answered = finished && (job->error() == QKeychain::NoError ||
                                       job->error() == QKeychain::EntryNotFound);
    dispose(job, finished);
    return answered;
}

int SecretServiceCredentialBackend::add(const QString &service, const QString &account,
                                        const QByteArray &value) {
    auto *job = new QKeychain::WritePasswordJob(service);
    job->setKey(account);
    job->setBinaryData(value);
    const bool finished = runJob(job, m_timeoutMs);
    const int status = finished ? static_cast<int>(job->error()) : timedOut;
    dispose(job, finished);
    return status;
}

std::optional<QByteArray> SecretServiceCredentialBackend::copy(const QString &service,
                                                               const QString &account) {
    auto *job = new QKeychain::ReadPasswordJob(service);
    job->setKey(account);
    const bool finished = runJob(job, m_timeoutMs);
    std::optional<QByteArray> value;
    if (finished && job->error() == QKeychain::NoError)
        value = job->binaryData();
    dispose(job, finished);
    return value;
}

bool SecretServiceCredentialBackend::remove(const QString &service, const QString &account) {
    auto *job = new QKeychain::DeletePasswordJob(service);
    job->setKey(account);
    const bool finished = runJob(job, m_timeoutMs);
    const bool gone = finished && (job->error() == QKeychain::NoError ||
                                   job->error() == QKeychain::EntryNotFound);
    dispose(job, finished);
    return gone;
}

QString SecretServiceCredentialBackend::description() const {
    return QStringLiteral("Secret Service");
}

} // namespace quillet
