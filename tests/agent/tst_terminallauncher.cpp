#include "agent/AppleScriptTerminalLauncher.h"
#include "agent/LinuxTerminalLauncher.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QTemporaryDir>

using namespace quillet;

namespace {

QString writeExecutable(const QString &path, const QByteArray &body) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(body);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

} // namespace

class TestTerminalLauncher : public QObject {
    Q_OBJECT

private slots:
    void opensTheFirstThatStarts() {
        // gnome-terminal takes the command after "--" (its "-e" wants one string); xfce4-terminal's
        // "-x" is seen below, through a stand-in.
        const QStringList command{"tmux", "attach", "-t", "=a b"};
        QCOMPARE(LinuxTerminalLauncher::argumentsFor("gnome-terminal", command),
                 QStringList{"--"} + command);
        QCOMPARE(LinuxTerminalLauncher::argumentsFor("alacritty", command),
                 QStringList{"-e"} + command);
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("record"));
        // A stand-in emulator that writes down its arguments and whether $TMUX reached it.
        const QString fake = writeExecutable(
            dir.filePath(QStringLiteral("xfce4-terminal")),
            QStringLiteral("#!/bin/sh\n{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done\n"
                           "  echo \"TMUX=${TMUX-unset}\"; } > '%1.part' && mv '%1.part' '%1'\n")
                .arg(record)
                .toUtf8());
        const QString notExecutable = dir.filePath(QStringLiteral("xterm"));
        QFile(notExecutable).open(QIODevice::WriteOnly);

        QString error;
        LinuxTerminalLauncher none({"/nonexistent/xterm", "no-such-terminal-here"});
        QVERIFY(!none.open({"tmux", "attach", "-t", "=p"}, &error));

        qputenv("TMUX", "/tmp/tmux-1000/default,1234,0");
        LinuxTerminalLauncher launcher(
            {"/nonexistent/konsole", "no-such-terminal-here", notExecutable, fake});
        const bool opened = launcher.open({"/usr/bin/tmux", "attach", "-t", "=it's mine"}, &error);
        qunsetenv("TMUX");
        QVERIFY2(opened, qPrintable(error));
        QTRY_VERIFY(QFile::exists(record));
        QCOMPARE(
            QString::fromUtf8(quillet::test::fileBytes(record)).split(u'\n', Qt::SkipEmptyParts),
            (QStringList{"-x", "/usr/bin/tmux", "attach", "-t", "=it's mine", "TMUX=unset"}));
    }

    void appleScriptQuoting_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("backslashes") << "back\\slash\\\"";
        QTest::newRow("single quote") << "it's";
        QTest::newRow("command substitution") << "$(touch pwned)";
        QTest::newRow("AppleScript break-out") << "\" & (do shell script \"touch pwned\") & \"";
        QTest::newRow("line break") << "two\nlines";
    }

    void appleScriptQuoting() {
        QFETCH(QString, name);
        // One string literal, read as AppleScript reads it, ends exactly where the script line
        // ends: nothing leaks into AppleScript.
        static const QRegularExpression literal(
            QStringLiteral("^tell application \"Terminal\"\n    activate\n"
                           "    do script \"((?:[^\"\\\\]|\\\\.)*)\"\nend tell$"));
        const QRegularExpressionMatch match =
            literal.match(AppleScriptTerminalLauncher::script({"printf", "%s|", name}));
        QVERIFY(match.hasMatch());
        QString shellLine;
        const QStringView body = match.capturedView(1);
        for (qsizetype i = 0; i < body.size(); ++i) {
            if (body[i] != u'\\') {
                shellLine += body[i];
                continue;
            }
            const QChar next = body[++i]; // the pattern lets no backslash end the literal
            shellLine += next == u'n'   ? QChar(u'\n')
                         : next == u'r' ? QChar(u'\r')
                         : next == u't' ? QChar(u'\t')
                                        : next;
        }

        // And the shell sees the name as one word, with nothing run.
        QTemporaryDir dir;
        QProcess shell;
        shell.setWorkingDirectory(dir.path());
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellLine});
        QVERIFY(shell.waitForFinished());
        QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()), name + QLatin1Char('|'));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("pwned"))));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestTerminalLauncher)
#include "tst_terminallauncher.moc"
