#include "agent/AppleScriptTerminalLauncher.h"
#include "agent/LinuxTerminalLauncher.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QTemporaryDir>

using namespace quillet;

namespace {

// Reads an AppleScript string literal that starts at `from` (just after its opening quote);
// returns its value and where the literal ended (the closing quote), -1 when it never closes.
QString readAppleScriptString(const QString &script, qsizetype from, qsizetype *end) {
    QString value;
    for (qsizetype i = from; i < script.size(); ++i) {
        const QChar c = script[i];
        if (c == u'"') {
            *end = i;
            return value;
        }
        if (c == u'\\' && i + 1 < script.size()) {
            const QChar next = script[++i];
            value += next == u'n'   ? QChar(u'\n')
                     : next == u'r' ? QChar(u'\r')
                     : next == u't' ? QChar(u'\t')
                                    : next;
            continue;
        }
        value += c;
    }
    *end = -1;
    return value;
}

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
        QVERIFY(!fake.isEmpty());
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
        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                 (QStringList{"-x", "/usr/bin/tmux", "attach", "-t", "=it's mine", "TMUX=unset"}));
    }

    void appleScriptQuoting_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("backslashes") << "back\\slash\\\"";
        QTest::newRow("single quote") << "it's";
        QTest::newRow("command substitution") << "$(touch pwned)";
        QTest::newRow("command separator") << "a; touch pwned";
        QTest::newRow("AppleScript break-out") << "\" & (do shell script \"touch pwned\") & \"";
        QTest::newRow("line break") << "two\nlines";
        QTest::newRow("glob") << "*";
        QTest::newRow("empty") << "";
    }

    void appleScriptQuoting() {
        QFETCH(QString, name);
        const QString script = AppleScriptTerminalLauncher::script({"printf", "%s|", name});
        const QStringList lines = script.split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("tell application \"Terminal\""));
        QCOMPARE(lines.last(), QStringLiteral("end tell"));

        // The literal ends exactly where the script line ends: nothing leaks into AppleScript.
        const QString opening = QStringLiteral("    activate\n    do script \"");
        const qsizetype start = script.indexOf(opening);
        QVERIFY(start > 0);
        qsizetype end = -1;
        const QString shellLine = readAppleScriptString(script, start + opening.size(), &end);
        QCOMPARE(end, script.size() - qsizetype(strlen("\nend tell")) - 1);

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
