#include "support/RunQuillet.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

using quillet::test::QuilletRun;

namespace {

QuilletRun analyze(const QStringList &arguments, const QByteArray &input = {}) {
    return quillet::test::runQuillet(QStringList{QStringLiteral("analyze")} + arguments, {}, input);
}

QJsonObject parse(const QuilletRun &run) {
    return QJsonDocument::fromJson(run.out.toUtf8()).object();
}

} // namespace

class TestAnalyzeCommand : public QObject {
    Q_OBJECT

private slots:
    void permissionPromptFromFile() {
        const QuilletRun run =
            analyze({"--tool=claude-code", "--explain",
                     QUILLET_TEST_SUPPORT_DIR "/screens/claude-bash-permission.txt"});
        QCOMPARE(run.status, 0);
        const QJsonObject json = parse(run);
        QCOMPARE(json.keys(), (QStringList{"context", "digest", "key", "question_rule",
                                           "question_text", "stream"}));
        QCOMPARE(json.value(QStringLiteral("question_text")).toString(),
                 QStringLiteral("Do you want to proceed?"));
        const QString key = json.value(QStringLiteral("key")).toString();
        QCOMPARE(key,
                 QStringLiteral("Bash command rm -rf build/ && cmake -S . -B build -G Ninja "
                                "Remove the stale build folder and configure again Do you want "
                                "to proceed?"));
        QCOMPARE(json.value(QStringLiteral("digest")).toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Md5).toHex()));
        // The rule above the prompt becomes "───" and starts the excerpt.
        const QString context = json.value(QStringLiteral("context")).toString();
        QVERIFY2(context.startsWith(QStringLiteral("⏺ The build folder")), qPrintable(context));
        QVERIFY(context.contains(QStringLiteral("\n───\n Bash command\n")));
        QCOMPARE(json.value(QStringLiteral("stream")).toString(), context);
    }

    void contextLines() {
        QByteArray screen;
        for (int i = 1; i <= 120; ++i)
            screen += "line " + QByteArray::number(i) + '\n';
        const QuilletRun run = analyze({"--context-lines", "3"}, screen);
        QCOMPARE(run.status, 0);
        const QJsonObject json = parse(run);
        // The text ends with a line feed, so its last line is empty.
        QCOMPARE(json.value(QStringLiteral("context")).toString(),
                 QStringLiteral("line 119\nline 120\n"));
        QCOMPARE(json.value(QStringLiteral("stream")).toString().count(QLatin1Char('\n')), 99);
        QCOMPARE(json.value(QStringLiteral("key")).toString(),
                 QStringLiteral("line 116\nline 117\nline 118\nline 119\nline 120"));
    }

    void errors_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("message");
        QTest::newRow("endless input")
            << QStringList{"/dev/zero"} << QByteArray() << "/dev/zero holds more than 16 MiB";
        QTest::newRow("not UTF-8") << QStringList{} << QByteArray("Proceed? \xff\xfe (y/n)")
                                   << "standard input is not valid UTF-8";
    }

    void errors() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QString, message);
        const QuilletRun run = analyze(arguments, input);
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
    }
};

QUILLET_TEST_GUILESS_MAIN(TestAnalyzeCommand)
#include "tst_analyzecommand.moc"
