#pragma once

#include "api/CredentialBackend.h"

#include <QString>
#include <memory>
#include <optional>

namespace quillet {

// The account's secrets (tokens, user id, the software passkey) as small text items under one
// service name. Synchronous and never throwing: save and remove answer a flag, load an optional.
class KeychainService {
public:
    static inline const QString service = QStringLiteral("lorvo.fennick.quillet-mac");
    static inline const QString accessTokenKey =
        QStringLiteral("lorvo.fennick.quillet-mac.accessToken");
    static inline const QString refreshTokenKey =
        QStringLiteral("lorvo.fennick.quillet-mac.refreshToken");
    static inline const QString userIdKey = QStringLiteral("lorvo.fennick.quillet-mac.userId");

    explicit KeychainService(std::unique_ptr<CredentialBackend> backend);

    // The process-wide instance, on the backend chooseBackend() picks.
    static KeychainService &shared();
    // QUILLET_CREDENTIAL_STORE=file or =keyring decides; otherwise the Secret Service when one
    // answers, else the file (said once in the log).
    static std::unique_ptr<CredentialBackend> chooseBackend();

    // Replaces any item under `key`. A failed add prints one line on standard output.
    bool save(const QString &value, const QString &key);
    // Absent when there is no item or its bytes are not UTF-8.
    std::optional<QString> load(const QString &key);
    // True when no item is left under `key`, also when there was none.
    bool remove(const QString &key);

    CredentialBackend &backend() { return *m_backend; }

private:
    std::unique_ptr<CredentialBackend> m_backend;
};

} // namespace quillet
