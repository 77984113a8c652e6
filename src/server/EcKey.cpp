#include "server/EcKey.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

namespace quillet {

namespace {

constexpr int scalarLength = 32;
constexpr int pointLength = 65;

template <typename T, void (*Free)(T *)> struct Freer {
    void operator()(T *p) const { Free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Bignum = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_clear_free>>;
using Group = std::unique_ptr<EC_GROUP, Freer<EC_GROUP, EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Freer<EC_POINT, EC_POINT_free>>;
using ParamBuild = std::unique_ptr<OSSL_PARAM_BLD, Freer<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Freer<OSSL_PARAM, OSSL_PARAM_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;

const unsigned char *bytes(const QByteArray &data) {
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// Builds a key from OpenSSL parameters and runs OpenSSL's own checks on it, which refuse a point
// that is not on the curve (and a private scalar that does not match its point).
EVP_PKEY *importChecked(const QByteArray &point, const BIGNUM *scalar) {
    ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build ||
        !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1",
                                         0) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.constData(),
                                          static_cast<size_t>(point.size())) ||
        (scalar && !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar)))
        return nullptr;
    Params params(OSSL_PARAM_BLD_to_param(build.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY *key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, scalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) != 1)
        return nullptr;
    PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    const bool valid = check && (scalar ? EVP_PKEY_pairwise_check(check.get())
                                        : EVP_PKEY_public_check(check.get())) == 1;
    if (!valid) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

} // namespace

void EcKey::Deleter::operator()(EVP_PKEY *key) const {
    EVP_PKEY_free(key);
}

std::optional<EcKey> EcKey::generate() {
    EVP_PKEY *key = EVP_EC_gen("P-256");
    if (!key)
        return std::nullopt;
    return EcKey(key);
}

std::optional<EcKey> EcKey::fromPublicPoint(const QByteArray &point) {
    if (point.size() != pointLength || point.at(0) != 0x04)
        return std::nullopt;
    EVP_PKEY *key = importChecked(point, nullptr);
    if (!key)
        return std::nullopt;
    return EcKey(key);
}

std::optional<EcKey> EcKey::fromPrivateScalar(const QByteArray &scalar) {
    if (scalar.size() != scalarLength)
        return std::nullopt;
    Bignum d(BN_bin2bn(bytes(scalar), scalarLength, nullptr));
    Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    if (!d || !group || BN_is_zero(d.get()) ||
        BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0)
        return std::nullopt;
    Point q(EC_POINT_new(group.get()));
    QByteArray point(pointLength, Qt::Uninitialized);
    if (!q || EC_POINT_mul(group.get(), q.get(), d.get(), nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_point2oct(group.get(), q.get(), POINT_CONVERSION_UNCOMPRESSED,
                           reinterpret_cast<unsigned char *>(point.data()), pointLength,
                           nullptr) != pointLength)
        return std::nullopt;
    EVP_PKEY *key = importChecked(point, d.get());
    if (!key)
        return std::nullopt;
    return EcKey(key);
}

QByteArray EcKey::publicPoint() const {
    QByteArray point(pointLength, Qt::Uninitialized);
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(m_key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                        reinterpret_cast<unsigned char *>(point.data()),
                                        pointLength, &length) != 1 ||
        length != pointLength)
        return {};
    return point;
}

QByteArray EcKey::privateScalar() const {
    BIGNUM *raw = nullptr;
    if (EVP_PKEY_get_bn_param(m_key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1)
        return {};
    const Bignum d(raw);
    QByteArray scalar(scalarLength, Qt::Uninitialized);
    if (BN_bn2binpad(d.get(), reinterpret_cast<unsigned char *>(scalar.data()), scalarLength) !=
        scalarLength)
        return {};
    return scalar;
}

QByteArray EcKey::sign(const QByteArray &message) const {
    MdCtx ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, bytes(message),
                       static_cast<size_t>(message.size())) != 1)
        return {};
    QByteArray signature(static_cast<qsizetype>(length), Qt::Uninitialized);
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                       bytes(message), static_cast<size_t>(message.size())) != 1)
        return {};
    signature.truncate(static_cast<qsizetype>(length));
    return signature;
}

bool EcKey::verify(const QByteArray &message, const QByteArray &derSignature) const {
    MdCtx ctx(EVP_MD_CTX_new());
    return ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), bytes(derSignature),
                            static_cast<size_t>(derSignature.size()), bytes(message),
                            static_cast<size_t>(message.size())) == 1;
}

QByteArray EcKey::sharedSecret(const EcKey &peer) const {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, m_key.get(), nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), peer.m_key.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1)
        return {};
    QByteArray secret(static_cast<qsizetype>(length), Qt::Uninitialized);
    if (EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char *>(secret.data()), &length) != 1)
        return {};
    secret.truncate(static_cast<qsizetype>(length));
    return secret;
}

QByteArray EcKey::derToRaw(const QByteArray &derSignature) {
    const unsigned char *input = bytes(derSignature);
    Signature signature(d2i_ECDSA_SIG(nullptr, &input, derSignature.size()));
    if (!signature)
        return {};
    QByteArray raw(2 * scalarLength, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(raw.data());
    if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), out, scalarLength) != scalarLength ||
        BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), out + scalarLength, scalarLength) !=
            scalarLength)
        return {};
    return raw;
}

} // namespace quillet
