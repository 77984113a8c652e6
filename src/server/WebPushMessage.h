#pragma once

#include <QByteArray>

namespace quillet {

class EcKey;

// The body of a Web Push message, encrypted for one subscription (RFC 8291): the "aes128gcm"
// content coding of RFC 8188 in a single record, keyed by ECDH between a fresh sender key and the
// subscription's p256dh key, mixed with its auth secret. The push service relays bytes it cannot
// read. Send it with "Content-Encoding: aes128gcm", "Content-Type: application/octet-stream",
// a TTL header and the VAPID Authorization header (VapidKeys).
class WebPushMessage {
public:
    // What fits in the 4096 bytes push services accept, after the header (86), the tag (16) and
    // the record delimiter (1).
    static constexpr int maxPlaintextSize = 4096 - 86 - 16 - 1;

    // Whether a subscription's keys can receive messages: a P-256 point (65 bytes, uncompressed)
    // and a 16-byte auth secret. Check when a subscription is registered, not at send time.
    static bool acceptsKeys(const QByteArray &p256dh, const QByteArray &authSecret);

    // The message body; empty when the keys are unusable or the plaintext is too long.
    static QByteArray encrypt(const QByteArray &plaintext, const QByteArray &p256dh,
                              const QByteArray &authSecret);
    // The same with a given sender key and salt, which must never be reused: only for checking
    // against published examples.
    static QByteArray encrypt(const QByteArray &plaintext, const QByteArray &p256dh,
                              const QByteArray &authSecret, const EcKey &senderKey,
                              const QByteArray &salt);
};

} // namespace quillet
