#include "server/Secrets.h"

#include "common/Base64Url.h"

#include <QCryptographicHash>
#include <cstdlib>
#include <openssl/rand.h>

namespace quillet {

QByteArray Secrets::randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), count) != 1) {
        qCritical("The random number generator failed; stopping rather than issue weak secrets.");
        std::abort();
    }
    return bytes;
}

QString Secrets::newToken() {
    return Base64Url::encode(randomBytes(32));
}

QByteArray Secrets::sha256(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

QByteArray Secrets::hashToken(const QString &token) {
    return sha256(token.toUtf8());
}

} // namespace quillet
