#pragma once

#include "api/CredentialBackend.h"

namespace quillet {

// Credentials in one JSON file readable by the user alone (0600 in a 0700 folder), for machines
// where no Secret Service answers. Every change is a locked read-modify-write that replaces the
// file atomically, so the tray app and the command line can share it.
class FileCredentialBackend : public CredentialBackend {
public:
    explicit FileCredentialBackend(QString path = defaultPath());

    static QString defaultPath();
    QString path() const { return m_path; }

    int add(const QString &service, const QString &account, const QByteArray &value) override;
    std::optional<QByteArray> copy(const QString &service, const QString &account) override;
    bool remove(const QString &service, const QString &account) override;
    QString description() const override;

private:
    QString m_path;
};

} // namespace quillet
