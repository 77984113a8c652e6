#include "server/ServerOptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>
#include <cstdio>

namespace quillet {

namespace {

struct Option {
    const char *name;
    const char *variable;
    const char *valueName;
    const char *help;
};

const Option options[] = {
    {"listen", "QUILLET_SERVER_LISTEN", "ADDRESS",
     "Address to listen on (default 0.0.0.0, every IPv4 address; :: for IPv6 too)."},
    {"port", "QUILLET_SERVER_PORT", "PORT",
     "Port to listen on (default 8470; 0 picks a free one)."},
    {"database", "QUILLET_SERVER_DATABASE", "PATH|URL",
     "SQLite file (default $XDG_DATA_HOME/Quillet/server.sqlite) or a postgresql:// URL."},
    {"public-url", "QUILLET_SERVER_PUBLIC_URL", "URL",
     "The address phones and computers use, e.g. https://quillet.example.org (default "
     "http://<LAN address>:<port>)."},
    {"rp-id", "QUILLET_SERVER_RP_ID", "HOST",
     "Passkey relying-party id (default: the public URL's host)."},
    {"origin", "QUILLET_SERVER_ORIGINS", "URL",
     "An origin passkeys may come from; repeat, or separate by commas in the variable (default: "
     "the public URL's origin and https://<rp id>)."},
    {"tls-cert", "QUILLET_SERVER_TLS_CERT", "FILE", "PEM certificate chain: serve HTTPS."},
    {"tls-key", "QUILLET_SERVER_TLS_KEY", "FILE", "PEM private key of the certificate."},
    {"vapid-subject", "QUILLET_SERVER_VAPID_SUBJECT", "URL",
     "Who runs this server, told to push services with each notification: a mailto: or "
     "https: URL (default: an https public URL). Without one, phones get no notifications."},
    {"push-hosts", "QUILLET_SERVER_PUSH_HOSTS", "HOSTS",
     "Push services the server sends notifications to, separated by commas; \"*.\" matches "
     "subdomains (default: the browsers' own, fcm.googleapis.com, "
     "updates.push.services.mozilla.com, *.push.apple.com, *.notify.windows.com)."},
    {"retention", "QUILLET_SERVER_RETENTION", "AGE",
     "How long closed sessions, answered and expired questions, delivered inputs and finished "
     "commands are kept: a number with s, m, h or d (default 30d; 0 keeps them)."},
    {"metrics-listen", "QUILLET_SERVER_METRICS_LISTEN", "ADDRESS:PORT",
     "Serve Prometheus metrics at /metrics on this address of its own, e.g. 127.0.0.1:9470 "
     "(default: off)."},
};

void print(FILE *stream, const QString &text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

bool truthy(const QString &value) {
    const QString v = value.trimmed().toLower();
    return v == QLatin1String("1") || v == QLatin1String("true") || v == QLatin1String("yes") ||
           v == QLatin1String("on");
}

} // namespace

bool ServerOptions::isVapidSubject(const QString &subject) {
    // Apple's service refuses anything else, and a subject it cannot parse as an address.
    const QUrl url(subject, QUrl::StrictMode);
    if (url.scheme() == QLatin1String("mailto"))
        return url.path().contains(QLatin1Char('@')) && !url.path().startsWith(QLatin1Char('@'));
    return url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

QString ServerOptions::pushOffReason() const {
    if (vapidSubject.isEmpty())
        return QStringLiteral("Notifications are off: the server has no VAPID subject (start it "
                              "with --vapid-subject mailto:you@example.org, or with an https "
                              "--public-url).");
    if (pushHosts.isEmpty())
        return QStringLiteral("Notifications are off: --push-hosts lists no push service.");
    return {};
}

QString ServerOptions::defaultDatabasePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Quillet/server.sqlite");
}

std::optional<int> ServerOptions::parse(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The Quillet relay: keeps the questions of your coding agents and pages your phone.\n"
        "Every option can also be set by the environment variable named in brackets."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    for (const Option &option : options)
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(option.name),
                               QStringLiteral("%1 [%2]").arg(QString::fromLatin1(option.help),
                                                             QString::fromLatin1(option.variable)),
                               QString::fromLatin1(option.valueName)));
    const QCommandLineOption open(
        QStringLiteral("open-registration"),
        QStringLiteral(
            "Let anyone who reaches the server create an account, also after the first "
            "one exists (default: only the first). [QUILLET_SERVER_OPEN_REGISTRATION=1]"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("No start-up banner, only log lines."));
    parser.addOption(open);
    parser.addOption(quietOption);

    if (!parser.parse(arguments)) {
        print(stderr, QStringLiteral("quillet-server: %1\nTry 'quillet-server --help'.\n")
                          .arg(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("quillet-server %1\n").arg(QStringLiteral(QUILLET_VERSION)));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        print(stderr, QStringLiteral("quillet-server: unexpected argument '%1'\n")
                          .arg(parser.positionalArguments().constFirst()));
        return 2;
    }

    auto value = [&parser](const Option &option) -> QString {
        const QString name = QString::fromLatin1(option.name);
        if (parser.isSet(name))
            return parser.values(name).join(QLatin1Char(','));
        return qEnvironmentVariable(option.variable);
    };
    listenAddress = value(options[0]).isEmpty() ? listenAddress : value(options[0]);
    if (const QString text = value(options[1]); !text.isEmpty()) {
        bool ok = false;
        const uint number = text.toUInt(&ok);
        if (!ok || number > 65535) {
            print(stderr, QStringLiteral("quillet-server: '%1' is not a port\n").arg(text));
            return 2;
        }
        port = quint16(number);
    }
    database = value(options[2]);
    publicUrl = value(options[3]);
    rpId = value(options[4]);
    origins.clear();
    for (const QString &origin : value(options[5]).split(QLatin1Char(','), Qt::SkipEmptyParts))
        origins << origin.trimmed();
    tlsCertificate = value(options[6]);
    tlsKey = value(options[7]);
    vapidSubject = value(options[8]).trimmed();
    if (const QString hosts = value(options[9]); !hosts.isEmpty()) {
        pushHosts.clear();
        for (const QString &host : hosts.split(QLatin1Char(','), Qt::SkipEmptyParts))
            pushHosts << host.trimmed().toLower();
    }
    if (const QString text = value(options[10]); !text.isEmpty()) {
        static const QRegularExpression age(QStringLiteral("^(\\d{1,9})([smhd]?)$"));
        const auto match = age.match(text.trimmed());
        if (!match.hasMatch()) {
            print(stderr,
                  QStringLiteral("quillet-server: '%1' is not an age such as 30d\n").arg(text));
            return 2;
        }
        static const QHash<QString, qint64> unit{{QString(), 1},
                                                 {QStringLiteral("s"), 1},
                                                 {QStringLiteral("m"), 60},
                                                 {QStringLiteral("h"), 3600},
                                                 {QStringLiteral("d"), 86400}};
        retention =
            std::chrono::seconds(match.captured(1).toLongLong() * unit.value(match.captured(2)));
    }
    if (const QString text = value(options[11]); !text.isEmpty()) {
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const uint number = text.mid(colon + 1).toUInt(&ok);
        if (colon <= 0 || !ok || number > 65535) {
            print(stderr, QStringLiteral("quillet-server: '%1' is not ADDRESS:PORT\n").arg(text));
            return 2;
        }
        metricsAddress = text.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']'));
        metricsPort = quint16(number);
    }
    openRegistration =
        parser.isSet(open) || truthy(qEnvironmentVariable("QUILLET_SERVER_OPEN_REGISTRATION"));
    quiet = parser.isSet(quietOption);

    if (tlsCertificate.isEmpty() != tlsKey.isEmpty()) {
        print(stderr, QStringLiteral("quillet-server: --tls-cert and --tls-key go together\n"));
        return 2;
    }
    if (!vapidSubject.isEmpty() && !isVapidSubject(vapidSubject)) {
        print(stderr, QStringLiteral("quillet-server: the VAPID subject '%1' is not a mailto: or "
                                     "https: URL\n")
                          .arg(vapidSubject));
        return 2;
    }
    if (!publicUrl.isEmpty()) {
        const QUrl url(publicUrl);
        if (!url.isValid() || url.host().isEmpty() ||
            (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
            print(stderr,
                  QStringLiteral("quillet-server: '%1' is not an http(s) URL\n").arg(publicUrl));
            return 2;
        }
    }
    return std::nullopt;
}

void ServerOptions::resolveDefaults(const QString &lanAddress) {
    if (database.isEmpty())
        database = defaultDatabasePath();
    while (publicUrl.endsWith(QLatin1Char('/')))
        publicUrl.chop(1);
    if (publicUrl.isEmpty()) {
        const bool anyAddress =
            listenAddress == QLatin1String("0.0.0.0") || listenAddress == QLatin1String("::");
        QString host = anyAddress ? lanAddress : listenAddress;
        if (host.contains(QLatin1Char(':')))
            host = QLatin1Char('[') + host + QLatin1Char(']');
        publicUrl =
            QStringLiteral("%1://%2:%3")
                .arg(tlsCertificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"),
                     host)
                .arg(port);
    }
    const QUrl url(publicUrl);
    // Push services want to reach whoever runs the server; an https public URL is that.
    if (vapidSubject.isEmpty() && url.scheme() == QLatin1String("https"))
        vapidSubject = url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                                    QUrl::RemoveUserInfo)
                           .toString();
    if (rpId.isEmpty())
        rpId = url.host();
    if (origins.isEmpty()) {
        origins
            << url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
        const QString softwareOrigin = QStringLiteral("https://") + rpId;
        if (!origins.contains(softwareOrigin))
            origins << softwareOrigin;
    }
}

} // namespace quillet
