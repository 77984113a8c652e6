#include "common/LanAddress.h"
#include "server/RelayServer.h"
#include "server/ServerBanner.h"
#include "server/ServerOptions.h"

#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillet-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLET_VERSION));
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-ddThh:mm:ss.zzz} %{if-debug}debug%{endif}"
                                      "%{if-info}info%{endif}%{if-warning}warning%{endif}"
                                      "%{if-critical}error%{endif}%{if-fatal}fatal%{endif} "
                                      "%{message}"));

    quillet::ServerOptions options;
    if (const auto status = options.parse(QCoreApplication::arguments()))
        return *status;
    try {
        quillet::RelayServer server(options, quillet::LanAddress::first());
        if (!options.quiet) {
            const QString banner =
                quillet::ServerBanner::text(server.options(), server.port(),
                                            server.databaseDescription(), ::isatty(STDOUT_FILENO));
            std::fputs(banner.toLocal8Bit().constData(), stdout);
            std::fflush(stdout);
        }
        return server.run();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quillet-server: %s\n", error.what());
        return 1;
    }
}
