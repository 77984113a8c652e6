#pragma once

#include <QByteArray>
#include <memory>
#include <optional>

using EVP_PKEY = struct evp_pkey_st;

namespace quillet {

// A P-256 key held by OpenSSL, with the few operations passkeys, Web Push and VAPID need.
// Every constructor checks its input, so a key that exists is a valid point on the curve.
class EcKey {
public:
    static std::optional<EcKey> generate();
    // An uncompressed point, 0x04 ‖ x ‖ y (65 bytes).
    static std::optional<EcKey> fromPublicPoint(const QByteArray &point);
    // A private key as its 32-byte big-endian scalar; the public point is derived from it.
    static std::optional<EcKey> fromPrivateScalar(const QByteArray &scalar);

    QByteArray publicPoint() const;
    // Empty for a key that has only its public half.
    QByteArray privateScalar() const;

    // ECDSA with SHA-256, the signature DER-encoded; empty when signing fails.
    QByteArray sign(const QByteArray &message) const;
    bool verify(const QByteArray &message, const QByteArray &derSignature) const;
    // The ECDH shared secret with `peer` (its x coordinate, 32 bytes); empty on failure.
    QByteArray sharedSecret(const EcKey &peer) const;

    // A DER signature as the fixed-width r ‖ s that JOSE uses (64 bytes); empty when malformed.
    static QByteArray derToRaw(const QByteArray &derSignature);

private:
    struct Deleter {
        void operator()(EVP_PKEY *key) const;
    };
    explicit EcKey(EVP_PKEY *key) : m_key(key) {}
    std::unique_ptr<EVP_PKEY, Deleter> m_key;
};

} // namespace quillet
