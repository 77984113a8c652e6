#include "api/KeychainService.h"

#include "api/FileCredentialBackend.h"
#include "api/SecretServiceCredentialBackend.h"

#include <QLoggingCategory>
#include <QStringDecoder>
#include <cstdio>

Q_LOGGING_CATEGORY(lcKeychain, "lorvo.fennick.quillet-mac.KeychainService")

namespace quillet {

KeychainService::KeychainService(std::unique_ptr<CredentialBackend> backend)
    : m_backend(std::move(backend)) {}

KeychainService &KeychainService::shared() {
    static KeychainService instance(chooseBackend());
    return instance;
}

std::unique_ptr<CredentialBackend> KeychainService::chooseBackend() {
    const QString forced = qEnvironmentVariable("QUILLET_CREDENTIAL_STORE").trimmed().toLower();
    if (forced == QLatin1String("file"))
        return std::make_unique<FileCredentialBackend>();
    if (forced == QLatin1String("keyring"))
        return std::make_unique<SecretServiceCredentialBackend>();
    if (!forced.isEmpty())
        qCWarning(lcKeychain, "QUILLET_CREDENTIAL_STORE=%s is neither file nor keyring; ignored",
                  qUtf8Printable(forced));
    if (SecretServiceCredentialBackend::probe(3000))
        return std::make_unique<SecretServiceCredentialBackend>();
    auto file = std::make_unique<FileCredentialBackend>();
    qCInfo(lcKeychain, "No Secret Service answered; credentials are kept in %s (mode 0600)",
           qUtf8Printable(file->path()));
    return file;
}

bool KeychainService::save(const QString &value, const QString &key) {
    // A lone surrogate has no UTF-8 form; converting it would store something else.
    if (!value.isValidUtf16())
        return false;
    const QByteArray data = value.toUtf8();
    m_backend->remove(service, key);
    const int status = m_backend->add(service, key, data);
    if (status != 0) {
        std::fprintf(stdout, "⚠️ Keychain SecItemAdd failed: %d for key: %s\n", status,
                     key.toUtf8().constData());
        std::fflush(stdout);
        return false;
    }
    return true;
}

std::optional<QString> KeychainService::load(const QString &key) {
    const std::optional<QByteArray> data = m_backend->copy(service, key);
    if (!data)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(*data);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool KeychainService::remove(const QString &key) {
    return m_backend->remove(service, key);
}

} // namespace quillet
