#include "common/ControlText.h"
#include "common/InputKey.h"
#include "support/TestEnvironment.h"

using namespace quillet;

class TestControlText : public QObject {
    Q_OBJECT
private slots:
    void forms_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("escaped");
        QTest::addColumn<QString>("singleLine");
        QTest::addColumn<QString>("withoutControls");
        QTest::newRow("plain text, wide characters kept")
            << QStringLiteral("yes 日本 ❯ 🙂") << QStringLiteral("yes 日本 ❯ 🙂")
            << QStringLiteral("yes 日本 ❯ 🙂") << QStringLiteral("yes 日本 ❯ 🙂");
        QTest::newRow("Ctrl-C, EOF, kill line, DEL")
            << QStringLiteral("a\u0003b\u0004\u0015\u007f")
            << QStringLiteral("a\\x03b\\x04\\x15\\x7f") << QStringLiteral("ab")
            << QStringLiteral("ab");
        QTest::newRow("escape sequence")
            << QStringLiteral("\u001b[2J\u001b]0;t\u0007x")
            << QStringLiteral("\\x1b[2J\\x1b]0;t\\x07x") << QStringLiteral("[2J]0;tx")
            << QStringLiteral("[2J]0;tx");
        QTest::newRow("line breaks of every kind")
            << QStringLiteral("y\ntouch /tmp/x\r\nz\rw")
            << QStringLiteral("y\\ntouch /tmp/x\\r\\nz\\rw") << QStringLiteral("y touch /tmp/x z w")
            << QStringLiteral("y\ntouch /tmp/x\nz\nw");
        QTest::newRow("tab kept only in multi-line text")
            << QStringLiteral("a\tb") << QStringLiteral("a\\tb") << QStringLiteral("ab")
            << QStringLiteral("a\tb");
        QTest::newRow("C1 controls (NEL, CSI)")
            << QStringLiteral("a\u0085b\u009bc") << QStringLiteral("a\\u0085b\\u009bc")
            << QStringLiteral("abc") << QStringLiteral("abc");
        QTest::newRow("a backslash cannot forge an escape")
            << QStringLiteral("\\n") << QStringLiteral("\\\\n") << QStringLiteral("\\n")
            << QStringLiteral("\\n");
    }
    void forms() {
        QFETCH(QString, text);
        QFETCH(QString, escaped);
        QFETCH(QString, singleLine);
        QFETCH(QString, withoutControls);
        QCOMPARE(ControlText::escaped(text), escaped);
        QCOMPARE(ControlText::singleLine(text), singleLine);
        QCOMPARE(ControlText::withoutControls(text), withoutControls);
        QCOMPARE(ControlText::containsControl(text),
                 ControlText::escaped(text) != text && !text.contains(QLatin1Char('\\')));
    }

    void keysAreAFixedList() {
        QCOMPARE(InputKey::tmuxName(QStringLiteral("Ctrl-C")),
                 std::optional(QStringLiteral("C-c")));
        for (const QString &name : InputKey::names())
            QVERIFY2(InputKey::tmuxName(name).has_value(), qPrintable(name));
        // tmux would take these as keys or key tables; only the listed names pass.
        for (const char *name : {"C-c", "escape", "Enter ", "send-keys", "", "M-x"})
            QVERIFY2(!InputKey::tmuxName(QString::fromLatin1(name)), name);
    }
};

QUILLET_TEST_GUILESS_MAIN(TestControlText)
#include "tst_ControlText.moc"
