#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace quillet {

// Where KeychainService keeps its items: small secrets identified by service and account.
class CredentialBackend {
public:
    virtual ~CredentialBackend() = default;

    // Adds the item; answers 0 on success, otherwise the store's own error code. An item with the
    // same identity is expected to be gone already (KeychainService deletes first).
    virtual int add(const QString &service, const QString &account, const QByteArray &value) = 0;
    virtual std::optional<QByteArray> copy(const QString &service, const QString &account) = 0;
    // True when the item is gone afterwards, also when there was none.
    virtual bool remove(const QString &service, const QString &account) = 0;
    // For log lines and `quillet config`: where the items live.
    virtual QString description() const = 0;
};

} // namespace quillet
