#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

namespace quillet::test {

struct QuilletRun {
    int status = -1; // -1 when the process crashed or did not finish
    QString out;
    QString err;
};

// Runs the built `quillet` executable inside the test's isolated environment. The event loop runs
// meanwhile, so a fake server of this process can answer it; after `timeoutMs` it is killed.
inline QuilletRun runQuillet(const QStringList &args, const QString &workingDirectory = {},
                             const QByteArray &input = {}, int timeoutMs = 30000) {
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(QUILLET_BINARY), args);
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

} // namespace quillet::test
