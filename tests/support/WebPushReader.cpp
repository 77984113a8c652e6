#include "support/WebPushReader.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

namespace quillet::test {

QJsonObject WebPushReader::read(const QJsonObject &request) {
    const QString directory = QStringLiteral(QUILLET_TEST_SUPPORT_DIR "/webpush");
    if (QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty())
        return {{QStringLiteral("skip"), QStringLiteral("node is not installed")}};
    if (!QDir(directory + QStringLiteral("/node_modules/http_ece")).exists())
        return {{QStringLiteral("skip"),
                 QStringLiteral("run scripts/install-deps.sh (npm ci in tests/support/webpush)")}};
    QProcess node;
    node.setWorkingDirectory(directory);
    node.start(QStringLiteral("node"), {QStringLiteral("read.mjs")});
    node.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    node.closeWriteChannel();
    if (!node.waitForFinished(60000))
        return {{QStringLiteral("error"), QStringLiteral("the reader did not finish")}};
    return QJsonDocument::fromJson(node.readAllStandardOutput()).object();
}

} // namespace quillet::test
