#pragma once

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace quillet::test {

// Runs one of tests/support's Node scripts (code written apart from the product's) with `request`
// as JSON on standard input; its JSON answer, or {"error": why} when it gave none.
inline QJsonObject runNodeScript(const QString &script, const QJsonObject &request) {
    QProcess node;
    node.setWorkingDirectory(QFileInfo(script).path());
    node.start(QStringLiteral("node"), {script});
    node.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    node.closeWriteChannel();
    const bool finished = node.waitForFinished(60000);
    const QJsonDocument answer = QJsonDocument::fromJson(node.readAllStandardOutput());
    if (finished && answer.isObject())
        return answer.object();
    const QString why = QString::fromUtf8(node.readAllStandardError());
    qWarning("%s failed: %s", qPrintable(script), qPrintable(why));
    return {{QStringLiteral("error"), script + QStringLiteral(" failed: ") + why}};
}

} // namespace quillet::test
