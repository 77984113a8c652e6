#include "server/ServerBanner.h"

#include "common/QrCode.h"
#include "common/TerminalQr.h"
#include "server/ServerOptions.h"

namespace quillet {

QString ServerBanner::text(const ServerOptions &options, quint16 port, const QString &database,
                           bool colors) {
    QString text;
    text += QStringLiteral("quillet-server %1\n").arg(QStringLiteral(QUILLET_VERSION));
    text += QStringLiteral("Listening on %1:%2 (%3)\n")
                .arg(options.listenAddress)
                .arg(port)
                .arg(options.tlsCertificate.isEmpty() ? QStringLiteral("HTTP")
                                                      : QStringLiteral("HTTPS"));
    text += QStringLiteral("Database: %1\n").arg(database);
    text += QStringLiteral("Passkeys for %1 from %2\n")
                .arg(options.rpId, options.origins.join(QStringLiteral(", ")));
    text += QStringLiteral("Registration: %1\n")
                .arg(options.openRegistration ? QStringLiteral("open to everyone")
                                              : QStringLiteral("open until the first account"));
    if (const QString off = options.pushOffReason(); !off.isEmpty())
        text += off + QLatin1Char('\n');
    else
        text += QStringLiteral("Notifications: Web Push through %1, as %2\n")
                    .arg(options.pushHosts.join(QStringLiteral(", ")), options.vapidSubject);
    text += QStringLiteral("\nOn your phone, open %1\n").arg(options.publicUrl);
    if (const auto symbol = QrCode::encode(options.publicUrl.toUtf8()))
        text += TerminalQr::render(*symbol, colors);
    text += QStringLiteral("On this computer: quillet register --server %1 --username NAME\n")
                .arg(options.publicUrl);
    if (options.tlsCertificate.isEmpty() && !options.publicUrl.startsWith(QLatin1String("https")))
        text += QStringLiteral("Over plain HTTP the phone page works while it is open; for "
                               "notifications put the server behind HTTPS (see the README).\n");
    return text;
}

} // namespace quillet
