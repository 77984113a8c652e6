#include "api/SoftwareAuthenticator.h"

#include "api/AuthenticatorError.h"
#include "api/CborWriter.h"
#include "api/JsonDecoder.h"
#include "api/KeychainService.h"
#include "common/Base64Url.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

namespace quillet {

namespace {

constexpr quint8 flagUserPresent = 0x01;
constexpr quint8 flagUserVerified = 0x04;
constexpr quint8 flagAttestedCredential = 0x40;
constexpr int credentialIdLength = 32;

struct PkeyDeleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

QByteArray sha256(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

// Members in the order browsers write them; verifiers parse it as JSON, so only the values bind.
QByteArray clientData(const char *type, const QByteArray &challenge, const QString &rpId) {
    return QByteArrayLiteral("{\"type\":\"") + type + QByteArrayLiteral("\",\"challenge\":") +
           JsonDecoder::quoted(Base64Url::encode(challenge)) + QByteArrayLiteral(",\"origin\":") +
           JsonDecoder::quoted(SoftwareAuthenticator::origin(rpId)) +
           QByteArrayLiteral(",\"crossOrigin\":false}");
}

QByteArray bigEndian32(quint32 value) {
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray bigEndian16(quint16 value) {
    QByteArray bytes(2, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

Pkey generateKey() {
    Pkey key(EVP_EC_gen("P-256"));
    if (!key)
        throw AuthenticatorError(
            QStringLiteral("Could not create a passkey: key generation failed."));
    return key;
}

QByteArray privateKeyDer(EVP_PKEY *key) {
    unsigned char *der = nullptr;
    const int length = i2d_PrivateKey(key, &der);
    if (length <= 0)
        throw AuthenticatorError(QStringLiteral("Could not create a passkey: key export failed."));
    QByteArray bytes(reinterpret_cast<const char *>(der), length);
    OPENSSL_clear_free(der, static_cast<size_t>(length));
    return bytes;
}

Pkey privateKeyFromDer(const QByteArray &der) {
    const auto *data = reinterpret_cast<const unsigned char *>(der.constData());
    return Pkey(d2i_AutoPrivateKey(nullptr, &data, der.size()));
}

// The COSE_Key of an ES256 public key (RFC 9053), map keys in canonical CBOR order.
QByteArray coseKey(EVP_PKEY *key) {
    unsigned char point[65];
    size_t length = 0;
    if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                         sizeof point, &length) ||
        length != sizeof point || point[0] != 0x04)
        throw AuthenticatorError(QStringLiteral("Could not create a passkey: key export failed."));
    const QByteArray x(reinterpret_cast<const char *>(point + 1), 32);
    const QByteArray y(reinterpret_cast<const char *>(point + 33), 32);
    CborWriter cbor;
    cbor.mapHeader(5);
    cbor.integer(1).integer(2);  // kty: EC2
    cbor.integer(3).integer(-7); // alg: ES256
    cbor.integer(-1).integer(1); // crv: P-256
    cbor.integer(-2).bytes(x);
    cbor.integer(-3).bytes(y);
    return cbor.data();
}

// ECDSA with SHA-256 over `data`, DER-encoded as WebAuthn expects.
QByteArray sign(EVP_PKEY *key, const QByteArray &data) {
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    size_t length = 0;
    const auto *input = reinterpret_cast<const unsigned char *>(data.constData());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, input, static_cast<size_t>(data.size())) != 1)
        throw AuthenticatorError(QStringLiteral("Could not sign with the passkey."));
    QByteArray signature(static_cast<qsizetype>(length), Qt::Uninitialized);
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                       input, static_cast<size_t>(data.size())) != 1)
        throw AuthenticatorError(QStringLiteral("Could not sign with the passkey."));
    signature.truncate(static_cast<qsizetype>(length));
    return signature;
}

} // namespace

SoftwareAuthenticator::SoftwareAuthenticator(KeychainService &keychain) : m_keychain(keychain) {}

QString SoftwareAuthenticator::storageKey(const QString &rpId) {
    return QStringLiteral("lorvo.fennick.quillet-mac.passkey.") + rpId;
}

RegistrationCredential SoftwareAuthenticator::makeCredential(const QString &rpId,
                                                             const QByteArray &challenge,
                                                             const QString &userName,
                                                             const QByteArray &userHandle) {
    const Pkey key = generateKey();
    QByteArray credentialId(credentialIdLength, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(credentialId.data()), credentialIdLength) != 1)
        throw AuthenticatorError(QStringLiteral("Could not create a passkey: no randomness."));

    const quint32 signCount = 0;
    QByteArray authData = sha256(rpId.toUtf8());
    authData.append(static_cast<char>(flagUserPresent | flagUserVerified | flagAttestedCredential));
    authData.append(bigEndian32(signCount));
    authData.append(QByteArray(16, '\0')); // AAGUID: none for a software authenticator
    authData.append(bigEndian16(credentialIdLength));
    authData.append(credentialId);
    authData.append(coseKey(key.get()));

    CborWriter attestation;
    attestation.mapHeader(3);
    attestation.text(QStringLiteral("fmt")).text(QStringLiteral("none"));
    attestation.text(QStringLiteral("attStmt")).mapHeader(0);
    attestation.text(QStringLiteral("authData")).bytes(authData);

    const QJsonObject stored{
        {QStringLiteral("credentialId"), Base64Url::encode(credentialId)},
        {QStringLiteral("privateKey"), Base64Url::encode(privateKeyDer(key.get()))},
        {QStringLiteral("userHandle"), Base64Url::encode(userHandle)},
        {QStringLiteral("userName"), userName},
        {QStringLiteral("signCount"), static_cast<qint64>(signCount)},
    };
    if (!m_keychain.save(QString::fromUtf8(QJsonDocument(stored).toJson(QJsonDocument::Compact)),
                         storageKey(rpId)))
        throw AuthenticatorError(QStringLiteral("Could not store the passkey."));

    return {credentialId, clientData("webauthn.create", challenge, rpId), attestation.data()};
}

AssertionCredential SoftwareAuthenticator::getAssertion(const QString &rpId,
                                                        const QByteArray &challenge) {
    const std::optional<QString> storedText = m_keychain.load(storageKey(rpId));
    const QJsonObject stored =
        storedText ? QJsonDocument::fromJson(storedText->toUtf8()).object() : QJsonObject();
    const auto credentialId =
        Base64Url::decode(stored.value(QStringLiteral("credentialId")).toString());
    const auto der = Base64Url::decode(stored.value(QStringLiteral("privateKey")).toString());
    const auto userHandle =
        Base64Url::decode(stored.value(QStringLiteral("userHandle")).toString());
    Pkey key = der ? privateKeyFromDer(*der) : Pkey();
    if (!credentialId || credentialId->isEmpty() || !userHandle || !key)
        throw AuthenticatorError(
            QStringLiteral("No credentials available for %1 on this computer.").arg(rpId));

    const auto signCount =
        static_cast<quint32>(stored.value(QStringLiteral("signCount")).toInteger()) + 1;
    QJsonObject updated = stored;
    updated.insert(QStringLiteral("signCount"), static_cast<qint64>(signCount));
    if (!m_keychain.save(QString::fromUtf8(QJsonDocument(updated).toJson(QJsonDocument::Compact)),
                         storageKey(rpId)))
        throw AuthenticatorError(QStringLiteral("Could not update the passkey."));

    QByteArray authData = sha256(rpId.toUtf8());
    authData.append(static_cast<char>(flagUserPresent | flagUserVerified));
    authData.append(bigEndian32(signCount));
    const QByteArray clientDataJSON = clientData("webauthn.get", challenge, rpId);
    const QByteArray signature = sign(key.get(), authData + sha256(clientDataJSON));
    return {*credentialId, clientDataJSON, authData, signature, *userHandle};
}

} // namespace quillet
