#include "cli/PairCommand.h"

#include "api/APIService.h"
#include "api/PairingSession.h"
#include "cli/CliParser.h"
#include "common/ControlText.h"
#include "common/QrCode.h"
#include "common/TerminalQr.h"

#include <QEventLoop>
#include <unistd.h>

namespace quillet::cli {

namespace {

void showCode(const PairingSession &session, const QString &code, bool terminal) {
    if (terminal)
        out() << "\x1b[H\x1b[2J"; // a fresh screen for each code
    out() << "Pair Device\n\n";
    out() << "Phone address: " << ControlText::escaped(PairingSession::serverURL()) << "\n\n";
    if (const auto symbol =
            QrCode::encode(PairingSession::qrPayload(PairingSession::serverURL(), code))) {
        out() << TerminalQr::render(*symbol, terminal);
        out() << "Scan this QR code with the Quillet app on your device\n\n";
    }
    out() << "Or enter this code manually: "
          << ControlText::escaped(PairingSession::displayCode(code)) << "\n";
    if (!terminal && session.remainingSeconds())
        out() << PairingSession::expiryText(*session.remainingSeconds()) << "\n";
    out() << "Press Ctrl-C to quit.\n";
    out().flush();
}

} // namespace

int PairCommand::run(const QStringList &args) {
    CliParser cli(
        QStringLiteral("quillet pair"),
        QStringLiteral("Shows a pairing code for a phone, as a QR code and as text. A new "
                       "code follows when one expires. Ends when a new phone is paired."));
    if (const auto status = cli.parse(args, 0, 0))
        return *status;
    return showCodesUntilPaired();
}

int PairCommand::showCodesUntilPaired() {
    const bool terminal = ::isatty(STDOUT_FILENO);
    PairingSession session(APIService::shared());
    QEventLoop loop;
    std::optional<QString> failure;

    QObject::connect(&session, &PairingSession::codeChanged, &loop,
                     [&](const QString &code) { showCode(session, code, terminal); });
    QObject::connect(
        &session, &PairingSession::remainingSecondsChanged, &loop, [&](qint64 seconds) {
            // Only a terminal can rewrite its line; a log would fill with one line a second.
            if (!terminal || seconds <= 0)
                return;
            const char *color = seconds > 29 ? "" : "\x1b[31m";
            out() << "\r\x1b[K" << color << PairingSession::expiryText(seconds) << "\x1b[0m";
            out().flush();
        });
    QObject::connect(&session, &PairingSession::changed, &loop, [&] {
        if (!session.isLoading() && session.errorMessage()) {
            failure = session.errorMessage();
            session.stop();
            loop.exit(1);
        }
    });
    QObject::connect(&session, &PairingSession::paired, &loop,
                     [&](const QList<PairedDeviceResponse> &devices) {
                         out() << (terminal ? "\n" : "");
                         if (devices.isEmpty())
                             out() << "A new phone is paired.\n";
                         for (const PairedDeviceResponse &device : devices)
                             out() << "Paired " << ControlText::escaped(device.deviceName) << " ("
                                   << ControlText::escaped(device.deviceType) << ").\n";
                         out().flush();
                         loop.exit(0);
                     });

    out() << "Generating code...\n";
    out().flush();
    session.start();
    // A request that cannot even be sent (no server, a bad URL) fails inside start(), before the
    // loop runs: an exit() before exec() is lost, and the loop would wait forever.
    const int status = failure ? 1 : loop.exec();
    if (failure) {
        if (terminal)
            out() << "\n";
        return fail(ControlText::escaped(*failure));
    }
    return status;
}

} // namespace quillet::cli
