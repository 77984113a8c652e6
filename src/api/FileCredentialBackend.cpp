#include "api/FileCredentialBackend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcFileCredentials, "lorvo.fennick.quillet-mac.KeychainService")

namespace quillet {

namespace {

// Error codes of add(), in the spirit of the platform store's non-zero statuses.
constexpr int lockFailed = -1;
constexpr int writeFailed = -2;

constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// The items as stored: {"<service>": {"<account>": "<base64 value>"}}.
QJsonObject readItems(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(lcFileCredentials,
                  "The credential file %s cannot be read; it is treated as empty",
                  qUtf8Printable(path));
        return {};
    }
    return document.object();
}

bool writeItems(const QString &path, const QJsonObject &items) {
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QFile::setPermissions(info.absolutePath(), ownerOnly | QFileDevice::ExeOwner);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Restrict the temporary file before a secret is written into it.
    if (!file.setPermissions(ownerOnly))
        return false;
    file.write(QJsonDocument(items).toJson(QJsonDocument::Compact));
    return file.commit();
}

class FileLock {
public:
    explicit FileLock(const QString &path) : m_lock(path + QStringLiteral(".lock")) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        m_locked = m_lock.tryLock(5000);
    }
    bool locked() const { return m_locked; }

private:
    QLockFile m_lock;
    bool m_locked = false;
};

} // namespace

FileCredentialBackend::FileCredentialBackend(QString path) : m_path(std::move(path)) {}

QString FileCredentialBackend::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Quillet/credentials.json");
}

int FileCredentialBackend::add(const QString &service, const QString &account,
                               const QByteArray &value) {
    FileLock lock(m_path);
    if (!lock.locked())
        return lockFailed;
    QJsonObject items = readItems(m_path);
    QJsonObject accounts = items.value(service).toObject();
    accounts.insert(account, QString::fromLatin1(value.toBase64()));
    items.insert(service, accounts);
    return writeItems(m_path, items) ? 0 : writeFailed;
}

std::optional<QByteArray> FileCredentialBackend::copy(const QString &service,
                                                      const QString &account) {
    const QJsonValue stored = readItems(m_path).value(service).toObject().value(account);
    if (!stored.isString())
        return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(stored.toString().toLatin1(),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return *decoded;
}

bool FileCredentialBackend::remove(const QString &service, const QString &account) {
    FileLock lock(m_path);
    if (!lock.locked())
        return false;
    QJsonObject items = readItems(m_path);
    QJsonObject accounts = items.value(service).toObject();
    if (!accounts.contains(account))
        return true;
    accounts.remove(account);
    if (accounts.isEmpty())
        items.remove(service);
    else
        items.insert(service, accounts);
    return writeItems(m_path, items);
}

QString FileCredentialBackend::description() const {
    return QStringLiteral("file %1").arg(m_path);
}

} // namespace quillet
