#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace quillet::test {

struct QuilletRun {
    int status = -1; // -1 when the process crashed or did not finish
    QString out;
    QString err;
};

// Runs the built `quillet` executable inside the test's isolated environment and waits for it.
inline QuilletRun runQuillet(const QStringList &args, const QString &workingDirectory = {},
                             const QByteArray &input = {}) {
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(QUILLET_BINARY), args);
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

} // namespace quillet::test
