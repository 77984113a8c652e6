#include "cli/DevicesCommand.h"

#include "api/APIService.h"
#include "cli/CliParser.h"
#include "cli/TaskRunner.h"
#include "common/ControlText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <cstdio>
#include <unistd.h>

namespace quillet::cli {

namespace {

QJsonObject toJson(const PairedDeviceResponse &device) {
    return {{QStringLiteral("id"), device.id},
            {QStringLiteral("device_name"), device.deviceName},
            {QStringLiteral("device_type"), device.deviceType},
            {QStringLiteral("created_at"), device.createdAt},
            {QStringLiteral("last_seen_at"), device.lastSeenAt}};
}

void printTable(const QList<PairedDeviceResponse> &devices) {
    const QStringList headings{QStringLiteral("ID"), QStringLiteral("NAME"), QStringLiteral("TYPE"),
                               QStringLiteral("PAIRED"), QStringLiteral("LAST SEEN")};
    QList<QStringList> rows{headings};
    // The server's words, which must not drive the terminal.
    for (const PairedDeviceResponse &d : devices)
        rows.append({ControlText::escaped(d.id), ControlText::escaped(d.deviceName),
                     ControlText::escaped(d.deviceType), ControlText::escaped(d.createdAt),
                     ControlText::escaped(d.lastSeenAt)});
    QList<qsizetype> widths(headings.size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row.at(i).size());
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths[i] + 2) : row.at(i);
        out() << line << "\n";
    }
}

// Asks on the terminal; anything but yes, or no terminal at all, is no.
bool confirm(const QString &question) {
    if (!::isatty(STDIN_FILENO))
        return false;
    out() << question << " [y/N] ";
    out().flush();
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    const QString text = QString::fromLocal8Bit(answer).trimmed().toLower();
    return text == QLatin1String("y") || text == QLatin1String("yes");
}

} // namespace

int DevicesCommand::run(const QStringList &args) {
    if (args.value(0) == QLatin1String("remove"))
        return remove(args.mid(1));
    return list(args);
}

int DevicesCommand::list(const QStringList &args) {
    CliParser cli(QStringLiteral("quillet devices"),
                  QStringLiteral("Lists the phones paired with your account.\n"
                                 "'quillet devices remove ID' disconnects one."));
    cli.addOption({QStringLiteral("json"), QStringLiteral("Print the list as JSON")});
    if (const auto status = cli.parse(args, 0, 0))
        return *status;
    QList<PairedDeviceResponse> devices;
    try {
        devices = TaskRunner::run(APIService::shared().pairedDevices());
    } catch (const std::exception &error) {
        return fail(ControlText::escaped(QString::fromUtf8(error.what())));
    }
    if (cli.isSet(QStringLiteral("json"))) {
        QJsonArray array;
        for (const PairedDeviceResponse &device : devices)
            array.append(toJson(device));
        out() << QJsonDocument(array).toJson(QJsonDocument::Indented);
    } else if (devices.isEmpty()) {
        out() << "No paired devices. Run 'quillet pair' to pair a phone.\n";
    } else {
        printTable(devices);
    }
    out().flush();
    return 0;
}

int DevicesCommand::remove(const QStringList &args) {
    CliParser cli(QStringLiteral("quillet devices remove"),
                  QStringLiteral("Disconnects a paired phone. Asks first on a terminal; without "
                                 "one, only --yes removes anything."));
    cli.addPositional(QStringLiteral("ID"),
                      QStringLiteral("The device's id (see 'quillet devices')"));
    cli.addOption({QStringLiteral("yes"), QStringLiteral("Do not ask")});
    if (const auto status = cli.parse(args, 1, 1))
        return *status;
    const QString id = cli.positional().first();
    if (id.trimmed().isEmpty())
        return cli.fail(QStringLiteral("the device id must not be empty"));
    try {
        if (!cli.isSet(QStringLiteral("yes"))) {
            if (!::isatty(STDIN_FILENO))
                return fail(QStringLiteral("nothing removed: there is no terminal to confirm on; "
                                           "add --yes"));
            QString name = ControlText::escaped(id);
            for (const PairedDeviceResponse &device :
                 TaskRunner::run(APIService::shared().pairedDevices())) {
                if (device.id == id)
                    name = ControlText::escaped(device.deviceName);
            }
            if (!confirm(QStringLiteral("Disconnect %1?").arg(name))) {
                out() << "Nothing removed.\n";
                out().flush();
                return 1;
            }
        }
        TaskRunner::run(APIService::shared().deletePairedDevice(id));
    } catch (const std::exception &error) {
        return fail(ControlText::escaped(QString::fromUtf8(error.what())));
    }
    out() << "Disconnected " << ControlText::escaped(id) << ".\n";
    out().flush();
    return 0;
}

} // namespace quillet::cli
