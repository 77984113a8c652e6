#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace quillet {

// The URL-safe base64 of every byte string on the WebAuthn wire, without padding.
class Base64Url {
public:
    static QString encode(const QByteArray &bytes);
    // Accepts missing padding and the standard alphabet too; any other character, or a length
    // that no byte string has, gives nothing.
    static std::optional<QByteArray> decode(const QString &text);
};

} // namespace quillet
