#include "server/WebPushMessage.h"

#include "server/EcKey.h"
#include "server/Secrets.h"

#include <QtEndian>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace quillet {

namespace {

constexpr int authSecretSize = 16;
constexpr int saltSize = 16;
constexpr int tagSize = 16;
constexpr quint32 recordSize = 4096;
constexpr char lastRecordDelimiter = 0x02;

template <typename T, void (*Free)(T *)> struct Freer {
    void operator()(T *p) const { Free(p); }
};

// HKDF-SHA-256 (RFC 5869), extract and expand in one.
QByteArray hkdf(const QByteArray &salt, const QByteArray &ikm, const QByteArray &info, int length) {
    std::unique_ptr<EVP_KDF, Freer<EVP_KDF, EVP_KDF_free>> kdf(
        EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    std::unique_ptr<EVP_KDF_CTX, Freer<EVP_KDF_CTX, EVP_KDF_CTX_free>> ctx(
        kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    char digest[] = "SHA256";
    const auto octets = [](const char *name, const QByteArray &bytes) {
        return OSSL_PARAM_construct_octet_string(name, const_cast<char *>(bytes.constData()),
                                                 static_cast<size_t>(bytes.size()));
    };
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        octets(OSSL_KDF_PARAM_KEY, ikm),
        octets(OSSL_KDF_PARAM_SALT, salt),
        octets(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_construct_end(),
    };
    QByteArray output(length, Qt::Uninitialized);
    if (!ctx || EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char *>(output.data()),
                               static_cast<size_t>(length), params) != 1)
        return {};
    return output;
}

// AES-128-GCM without associated data; the tag follows the ciphertext.
QByteArray aes128gcm(const QByteArray &key, const QByteArray &nonce, const QByteArray &plaintext) {
    std::unique_ptr<EVP_CIPHER_CTX, Freer<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>> ctx(
        EVP_CIPHER_CTX_new());
    QByteArray output(plaintext.size() + tagSize, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(output.data());
    int written = 0;
    int finished = 0;
    if (!ctx || key.size() != 16 || nonce.size() != 12 ||
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr,
                           reinterpret_cast<const unsigned char *>(key.constData()),
                           reinterpret_cast<const unsigned char *>(nonce.constData())) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out, &written,
                          reinterpret_cast<const unsigned char *>(plaintext.constData()),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out + written, &finished) != 1 ||
        written + finished != plaintext.size() ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, tagSize, out + plaintext.size()) != 1)
        return {};
    return output;
}

} // namespace

bool WebPushMessage::acceptsKeys(const QByteArray &p256dh, const QByteArray &authSecret) {
    return authSecret.size() == authSecretSize && EcKey::fromPublicPoint(p256dh).has_value();
}

QByteArray WebPushMessage::encrypt(const QByteArray &plaintext, const QByteArray &p256dh,
                                   const QByteArray &authSecret) {
    const auto sender = EcKey::generate();
    if (!sender)
        return {};
    return encrypt(plaintext, p256dh, authSecret, *sender, Secrets::randomBytes(saltSize));
}

QByteArray WebPushMessage::encrypt(const QByteArray &plaintext, const QByteArray &p256dh,
                                   const QByteArray &authSecret, const EcKey &senderKey,
                                   const QByteArray &salt) {
    const auto receiver = EcKey::fromPublicPoint(p256dh);
    if (!receiver || authSecret.size() != authSecretSize || salt.size() != saltSize ||
        plaintext.size() > maxPlaintextSize)
        return {};
    const QByteArray senderPoint = senderKey.publicPoint();
    const QByteArray shared = senderKey.sharedSecret(*receiver);
    if (senderPoint.isEmpty() || shared.isEmpty())
        return {};

    const QByteArray keyInfo = QByteArrayLiteral("WebPush: info") + '\0' + p256dh + senderPoint;
    const QByteArray ikm = hkdf(authSecret, shared, keyInfo, 32);
    const QByteArray key =
        hkdf(salt, ikm, QByteArrayLiteral("Content-Encoding: aes128gcm") + '\0', 16);
    const QByteArray nonce =
        hkdf(salt, ikm, QByteArrayLiteral("Content-Encoding: nonce") + '\0', 12);
    const QByteArray ciphertext = aes128gcm(key, nonce, plaintext + lastRecordDelimiter);
    if (ikm.isEmpty() || ciphertext.isEmpty())
        return {};

    QByteArray header = salt;
    header.append(4, '\0');
    qToBigEndian(recordSize, header.data() + saltSize);
    header.append(static_cast<char>(senderPoint.size()));
    header.append(senderPoint);
    return header + ciphertext;
}

} // namespace quillet
