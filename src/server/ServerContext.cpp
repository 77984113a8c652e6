#include "server/ServerContext.h"

#include "server/Secrets.h"

namespace quillet {

QString ServerContext::tokenHash(const QString &token) {
    return QString::fromLatin1(Secrets::hashToken(token).toHex());
}

} // namespace quillet
