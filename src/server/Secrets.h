#pragma once

#include <QByteArray>
#include <QString>

namespace quillet {

// The server's secrets: random tokens that are handed out once and kept only as hashes.
class Secrets {
public:
    // Bytes from OpenSSL's generator; aborts the process when it cannot deliver, since a server
    // that hands out guessable tokens is worse than one that stops.
    static QByteArray randomBytes(int count);
    // 256 random bits, base64url: API keys, access and refresh tokens, device tokens.
    static QString newToken();
    static QByteArray sha256(const QByteArray &data);
    // What the store keeps of a token: a 256-bit token needs no salt or slow hash, and a leaked
    // table of these gives nothing that works on the wire.
    static QByteArray hashToken(const QString &token);
};

} // namespace quillet
