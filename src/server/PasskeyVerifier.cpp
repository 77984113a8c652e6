#include "server/PasskeyVerifier.h"

#include "common/Base64Url.h"
#include "server/EcKey.h"
#include "server/Secrets.h"

#include <QCborMap>
#include <QCborStreamReader>
#include <QCborValue>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <optional>

namespace quillet {

namespace {

constexpr quint8 flagUserPresent = 0x01;
constexpr quint8 flagAttestedCredential = 0x40;
constexpr quint8 flagExtensions = 0x80;
constexpr int fixedAuthDataLength = 37; // rpIdHash, flags, sign count
constexpr int maxCredentialIdLength = 1023;
constexpr qint64 coseKty = 1, coseAlg = 3, coseCrv = -1, coseX = -2, coseY = -3;
constexpr qint64 coseKtyEc2 = 2, coseAlgEs256 = -7, coseCrvP256 = 1;

// Client-supplied text quoted in a reason: short and printable, so that a log line stays one line.
QString shown(const QString &text) {
    QString result = text.left(80);
    for (QChar &c : result) {
        if (!c.isPrint())
            c = u'?';
    }
    return QLatin1Char('"') + result + QLatin1Char('"');
}

// One CBOR item that fills `data` exactly; `consumed` (when given) allows trailing bytes and
// reports where the item ended.
std::optional<QCborValue> decodeCbor(const QByteArray &data, qsizetype *consumed = nullptr) {
    QCborStreamReader reader(data);
    QCborValue value = QCborValue::fromCbor(reader);
    if (reader.lastError() != QCborError::NoError)
        return std::nullopt;
    if (consumed)
        *consumed = static_cast<qsizetype>(reader.currentOffset());
    else if (reader.currentOffset() != data.size())
        return std::nullopt;
    return value;
}

struct AuthData {
    QByteArray rpIdHash;
    quint8 flags = 0;
    quint32 signCount = 0;
    QByteArray credentialId;
    QByteArray coseKey;
    QString error;
};

AuthData parseAuthData(const QByteArray &data) {
    AuthData result;
    if (data.size() < fixedAuthDataLength) {
        result.error = QStringLiteral("authenticator data is too short");
        return result;
    }
    const auto *raw = reinterpret_cast<const uchar *>(data.constData());
    result.rpIdHash = data.left(32);
    result.flags = raw[32];
    result.signCount = qFromBigEndian<quint32>(raw + 33);
    qsizetype offset = fixedAuthDataLength;
    if (result.flags & flagAttestedCredential) {
        if (data.size() < offset + 18) {
            result.error = QStringLiteral("attested credential data is truncated");
            return result;
        }
        const int idLength = qFromBigEndian<quint16>(raw + offset + 16);
        offset += 18;
        if (idLength == 0 || idLength > maxCredentialIdLength || data.size() < offset + idLength) {
            result.error = QStringLiteral("credential id is malformed");
            return result;
        }
        result.credentialId = data.mid(offset, idLength);
        offset += idLength;
        qsizetype keyLength = 0;
        if (!decodeCbor(data.mid(offset), &keyLength)) {
            result.error = QStringLiteral("credential public key is not valid CBOR");
            return result;
        }
        result.coseKey = data.mid(offset, keyLength);
        offset += keyLength;
    }
    if (result.flags & flagExtensions) {
        qsizetype length = 0;
        const auto extensions = decodeCbor(data.mid(offset), &length);
        if (!extensions || !extensions->isMap()) {
            result.error = QStringLiteral("authenticator extensions are malformed");
            return result;
        }
        offset += length;
    }
    if (offset != data.size())
        result.error = QStringLiteral("authenticator data has trailing bytes");
    return result;
}

// The key of a COSE_Key that must be ES256 on P-256 (RFC 9053): anything else is refused.
std::optional<EcKey> es256Key(const QByteArray &cose, QString *error) {
    const auto value = decodeCbor(cose);
    if (!value || !value->isMap()) {
        *error = QStringLiteral("credential public key is not a COSE key");
        return std::nullopt;
    }
    const QCborMap key = value->toMap();
    const auto integer = [&key](qint64 label) {
        const QCborValue member = key.value(label);
        return member.isInteger() ? std::optional<qint64>(member.toInteger()) : std::nullopt;
    };
    if (integer(coseKty) != coseKtyEc2 || integer(coseAlg) != coseAlgEs256 ||
        integer(coseCrv) != coseCrvP256) {
        *error = QStringLiteral("only ES256 keys on P-256 are accepted");
        return std::nullopt;
    }
    const QCborValue x = key.value(coseX);
    const QCborValue y = key.value(coseY);
    if (!x.isByteArray() || !y.isByteArray() || x.toByteArray().size() != 32 ||
        y.toByteArray().size() != 32) {
        *error = QStringLiteral("credential public key coordinates are malformed");
        return std::nullopt;
    }
    auto ecKey = EcKey::fromPublicPoint(QByteArray(1, '\x04') + x.toByteArray() + y.toByteArray());
    if (!ecKey)
        *error = QStringLiteral("credential public key is not a point on P-256");
    return ecKey;
}

} // namespace

PasskeyVerifier::PasskeyVerifier(PasskeyPolicy policy) : m_policy(std::move(policy)) {}

QString PasskeyVerifier::checkClientData(const QByteArray &clientDataJson, const char *type,
                                         const QByteArray &expectedChallenge) const {
    const QJsonDocument document = QJsonDocument::fromJson(clientDataJson);
    if (!document.isObject())
        return QStringLiteral("client data is not a JSON object");
    const QJsonObject clientData = document.object();
    if (clientData.value(QStringLiteral("type")).toString() != QLatin1String(type))
        return QStringLiteral("client data type is not %1").arg(QLatin1String(type));
    const auto challenge =
        Base64Url::decode(clientData.value(QStringLiteral("challenge")).toString());
    if (expectedChallenge.isEmpty() || !challenge || *challenge != expectedChallenge)
        return QStringLiteral("challenge does not match");
    const QString origin = clientData.value(QStringLiteral("origin")).toString();
    if (!m_policy.allowedOrigins.contains(origin))
        return QStringLiteral("origin %1 is not allowed").arg(shown(origin));
    if (clientData.value(QStringLiteral("crossOrigin")).toBool())
        return QStringLiteral("cross-origin use is not allowed");
    return {};
}

PasskeyVerifier::Registration
PasskeyVerifier::verifyRegistration(const QByteArray &clientDataJson,
                                    const QByteArray &attestationObject,
                                    const QByteArray &expectedChallenge) const {
    Registration result;
    const auto fail = [&result](const QString &error) {
        result = Registration{};
        result.error = error;
        return result;
    };
    if (const QString error = checkClientData(clientDataJson, "webauthn.create", expectedChallenge);
        !error.isEmpty())
        return fail(error);

    const auto attestation = decodeCbor(attestationObject);
    if (!attestation || !attestation->isMap())
        return fail(QStringLiteral("attestation object is not valid CBOR"));
    const QCborMap object = attestation->toMap();
    const QCborValue format = object.value(QStringLiteral("fmt"));
    const QCborValue statement = object.value(QStringLiteral("attStmt"));
    const QCborValue authDataValue = object.value(QStringLiteral("authData"));
    if (!format.isString() || !statement.isMap() || !authDataValue.isByteArray())
        return fail(QStringLiteral("attestation object is malformed"));

    const QByteArray authDataBytes = authDataValue.toByteArray();
    const AuthData authData = parseAuthData(authDataBytes);
    if (!authData.error.isEmpty())
        return fail(authData.error);
    if (authData.rpIdHash != Secrets::sha256(m_policy.rpId.toUtf8()))
        return fail(QStringLiteral("rp id hash does not match"));
    if (!(authData.flags & flagUserPresent))
        return fail(QStringLiteral("user presence flag is not set"));
    if (!(authData.flags & flagAttestedCredential))
        return fail(QStringLiteral("no attested credential data"));
    QString keyError;
    const auto key = es256Key(authData.coseKey, &keyError);
    if (!key)
        return fail(keyError);

    const QCborMap attStmt = statement.toMap();
    if (format.toString() == QLatin1String("none")) {
        if (!attStmt.isEmpty())
            return fail(QStringLiteral("attestation statement of format none is not empty"));
    } else if (format.toString() == QLatin1String("packed")) {
        if (attStmt.contains(QStringLiteral("x5c")))
            return fail(QStringLiteral("attestation with a certificate is not supported; "
                                       "ask for attestation \"none\""));
        const QCborValue signature = attStmt.value(QStringLiteral("sig"));
        if (attStmt.value(QStringLiteral("alg")).toInteger() != coseAlgEs256 ||
            !signature.isByteArray() ||
            !key->verify(authDataBytes + Secrets::sha256(clientDataJson), signature.toByteArray()))
            return fail(QStringLiteral("self-attestation signature is invalid"));
    } else {
        return fail(
            QStringLiteral("attestation format %1 is not supported").arg(shown(format.toString())));
    }

    result.credentialId = authData.credentialId;
    result.publicKey = authData.coseKey;
    result.signCount = authData.signCount;
    return result;
}

PasskeyVerifier::Assertion PasskeyVerifier::verifyAssertion(const QByteArray &clientDataJson,
                                                            const QByteArray &authenticatorData,
                                                            const QByteArray &signature,
                                                            const QByteArray &expectedChallenge,
                                                            const QByteArray &publicKey,
                                                            quint32 storedSignCount) const {
    Assertion result;
    const auto fail = [&result](const QString &error) {
        result.error = error;
        return result;
    };
    if (const QString error = checkClientData(clientDataJson, "webauthn.get", expectedChallenge);
        !error.isEmpty())
        return fail(error);
    const AuthData authData = parseAuthData(authenticatorData);
    if (!authData.error.isEmpty())
        return fail(authData.error);
    if (authData.rpIdHash != Secrets::sha256(m_policy.rpId.toUtf8()))
        return fail(QStringLiteral("rp id hash does not match"));
    if (!(authData.flags & flagUserPresent))
        return fail(QStringLiteral("user presence flag is not set"));
    QString keyError;
    const auto key = es256Key(publicKey, &keyError);
    if (!key)
        return fail(QStringLiteral("stored credential key is unusable: ") + keyError);
    if (!key->verify(authenticatorData + Secrets::sha256(clientDataJson), signature))
        return fail(QStringLiteral("signature is invalid"));
    // A counter that does not rise means two copies of the key are in use; zero on both sides is
    // an authenticator that keeps no counter.
    if ((authData.signCount != 0 || storedSignCount != 0) && authData.signCount <= storedSignCount)
        return fail(QStringLiteral("sign count did not rise; the passkey may have been cloned"));
    result.signCount = authData.signCount;
    return result;
}

} // namespace quillet
