#include "support/WebPushReader.h"

#include "support/NodeScript.h"

#include <QDir>
#include <QStandardPaths>

namespace quillet::test {

QJsonObject WebPushReader::read(const QJsonObject &request) {
    const QString directory = QStringLiteral(QUILLET_TEST_SUPPORT_DIR "/webpush");
    if (QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty())
        return {{QStringLiteral("skip"), QStringLiteral("node is not installed")}};
    if (!QDir(directory + QStringLiteral("/node_modules/http_ece")).exists())
        return {{QStringLiteral("skip"),
                 QStringLiteral("run scripts/install-deps.sh (npm ci in tests/support/webpush)")}};
    return runNodeScript(directory + QStringLiteral("/read.mjs"), request);
}

} // namespace quillet::test
