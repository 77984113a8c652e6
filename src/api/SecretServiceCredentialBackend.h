#pragma once

#include "api/CredentialBackend.h"

namespace quillet {

// The desktop's Secret Service (GNOME Keyring, KWallet) through QtKeychain. QtKeychain is
// asynchronous; each call here waits for its job in a local event loop, bounded by a time-out
// so that a keyring which never answers (locked, no prompt possible) cannot hang the caller.
class SecretServiceCredentialBackend : public CredentialBackend {
public:
    explicit SecretServiceCredentialBackend(int timeoutMs = 10000);

    // Whether a Secret Service answers a harmless lookup within `timeoutMs`.
    static bool probe(int timeoutMs);

    int add(const QString &service, const QString &account, const QByteArray &value) override;
    std::optional<QByteArray> copy(const QString &service, const QString &account) override;
    bool remove(const QString &service, const QString &account) override;
    QString description() const override;

    // The code add() answers when the job did not finish in time.
    static constexpr int timedOut = -1;

private:
    int m_timeoutMs;
};

} // namespace quillet
