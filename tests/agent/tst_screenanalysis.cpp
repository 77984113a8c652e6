#include "agent/ScreenAnalysis.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"

using namespace quillet;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

QString screen(const QString &name) {
    return QString::fromUtf8(test::fileBytes(QUILLET_TEST_SUPPORT_DIR "/screens/" + name));
}

QString lines(const QStringList &list) {
    return list.join(QLatin1Char('\n'));
}

const std::optional<QString> absent = std::nullopt;

} // namespace

class TestScreenAnalysis : public QObject {
    Q_OBJECT

private slots:
    void questionText_data() {
        QTest::addColumn<QString>("capture"); // a file under screens/ when it ends in .txt
        QTest::addColumn<QString>("question");
        QTest::addColumn<bool>("menu");

        QTest::newRow("permission box with nested diff")
            << "claude-edit-box.txt"
            << "Do you want to make this edit to config.py?" << true;
        QTest::newRow("whiptail yes/no box") << "whiptail-yesno.txt"
                                             << "installation of 37 new packages?" << false;
        QTest::newRow("git add -p") << "shell-git-add-p.txt"
                                    << "(1/1) Stage this hunk [y,n,q,a,d,e,?]?" << false;
        QTest::newRow("idle shell") << "shell-idle.txt"
                                    << "dev@box:~/app/build$" << false;

        QTest::newRow("white space only") << " \n\t\n  \n" << QString() << false;
        QTest::newRow("input line with text after the cursor")
            << "Which branch should I rebase onto?\n> main"
            << "Which branch should I rebase onto?" << false;
        QTest::newRow("one-row box")
            << lines({"What should the commit message say?", "Recent: fix lint",
                      "Recent: bump deps", "Recent: docs", "╭──────────╮", "│ Type a message… │",
                      "╰──────────╯"})
            << "What should the commit message say?" << false;
        QTest::newRow("a bordered row outside a box is no input field")
            << lines({"What should the commit message say?", "Recent: fix lint",
                      "Recent: bump deps", "Status:", "│ Type a message… │"})
            << "Type a message…" << false;
        QTest::newRow("box rows: the lowest that asks")
            << lines({"┌──────────────────┐", "│ Delete branch?   │", "│ It has 3 commits │",
                      "│ not on main.     │", "│ <Yes>   <No>     │", "└──────────────────┘"})
            << "Delete branch?" << false;
        QTest::newRow("menu without cursor, last two are options")
            << lines({"Which license should the package use?", "1. MIT", "2. Apache-2.0"})
            << "Which license should the package use?" << true;
        QTest::newRow("a numbered list followed by prose is no menu")
            << lines({"Done. Changes:", "1. Fixed the parser", "2. Added tests",
                      "All done. Ready for review."})
            << "All done. Ready for review." << false;
        QTest::newRow("a single option without cursor is no menu")
            << lines({"Steps taken:", "  1. Ran the tests", "     all 12 passed"})
            << "all 12 passed" << false;
        QTest::newRow("question seven lines above the menu is too far")
            << lines({"Shall I apply the patch?", "a", "b", "c", "d", "e", "f", "❯ 1. Yes",
                      "  2. No"})
            << "f" << true;
        QTest::newRow("the lowest that asks wins")
            << lines({"Is this fine?", "Really, shall I go on?", "❯ 1. Yes", "  2. No"})
            << "Really, shall I go on?" << true;
        QTest::newRow("yes/no marker within the last three lines")
            << lines({"Overwrite config.yaml (y/n)", "note: a backup exists", "in config.yaml.bak"})
            << "Overwrite config.yaml (y/n)" << false;
    }

    void questionText() {
        QFETCH(QString, capture);
        QFETCH(QString, question);
        QFETCH(bool, menu);
        if (capture.endsWith(QLatin1String(".txt")))
            capture = screen(capture);
        QCOMPARE(ScreenAnalysis::questionText(capture), question);
        QCOMPARE(ScreenAnalysis::endsInNumberedMenu(capture), menu);
    }

    void extractQuestion_data() {
        QTest::addColumn<QString>("capture");
        QTest::addColumn<CodingTool>("tool");
        QTest::addColumn<std::optional<QString>>("question");

        QTest::newRow("no prompt") << "build ok\n$ " << CodingTool::generic << absent;
        QTest::newRow("Allow needs a word end")
            << "Allowed hosts: 3\nAllowance left" << CodingTool::generic << absent;
        QTest::newRow("permission box, from below its top border")
            << lines({"⏺ Update(src/a.cpp)", "╭──────────────╮", "│ Edit file", "",
                      "│ Do you want to make this edit?", "│ ❯ 1. Yes", "│   2. No"})
            << CodingTool::claudeCode
            << std::optional<QString>("│ Edit file │ Do you want to make this edit?");
        QTest::newRow("bullet starts the block and is removed")
            << lines({"earlier output", "⏺ Shall I run the tests", "  before committing?"})
            << CodingTool::claudeCode
            << std::optional<QString>("Shall I run the tests before committing?");
        QTest::newRow("codex boundary of hyphens")
            << lines({"old question?", "-----", "Apply the fix", "to all 3 files? (y/n)"})
            << CodingTool::codex << std::optional<QString>("Apply the fix to all 3 files? (y/n)");
        QStringList fifteen{QStringLiteral("cut off above"), QStringLiteral("Proceed? (y/n)")};
        for (int i = 0; i < 14; ++i)
            fifteen << QStringLiteral("progress %1").arg(i);
        QTest::newRow("prompt topmost of the last fifteen lines")
            << fifteen.join(QLatin1Char('\n')) << CodingTool::generic
            << std::optional<QString>("Proceed? (y/n)");
        QStringList twenty{QStringLiteral("Proceed? (y/n)")};
        for (int i = 0; i < 20; ++i)
            twenty << QString();
        twenty << QStringLiteral("tail");
        QTest::newRow("only the last twenty lines are read")
            << twenty.join(QLatin1Char('\n')) << CodingTool::generic << absent;
    }

    void extractQuestion() {
        QFETCH(QString, capture);
        QFETCH(CodingTool, tool);
        QFETCH(std::optional<QString>, question);
        QCOMPARE(ScreenAnalysis::extractQuestion(capture, tool), question);
    }

    void fallbackQuestion() {
        QCOMPARE(
            ScreenAnalysis::fallbackQuestion("╭──╮\n│  │\n╰──╯ - -", CodingTool::claudeCode, 5),
            absent);
        QCOMPARE(ScreenAnalysis::fallbackQuestion("one\n  two  \n\nthree\n\tfour",
                                                  CodingTool::generic, 3),
                 std::optional<QString>("two\nthree\nfour"));
        // Without a prompt the key falls back to the last lines; an empty screen has none.
        const QString apt = screen(QStringLiteral("shell-apt.txt"));
        QVERIFY(ScreenAnalysis::questionKey(apt, CodingTool::generic)
                    ->endsWith(QStringLiteral("will be used. Do you want to continue? [Y/n]")));
        QCOMPARE(ScreenAnalysis::questionKey(QStringLiteral(" \n"), CodingTool::codex), absent);
    }

    void recentLines_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::addColumn<CodingTool>("tool");
        QTest::addColumn<QString>("excerpt");

        QTest::newRow("landmark in the last four lines is ignored")
            << "1\n2\n3\n4\n5\n6\n$ ls\n8\n9\n10" << 8 << CodingTool::generic
            << "3\n4\n5\n6\n$ ls\n8\n9\n10";
        QTest::newRow("the nearest landmark wins")
            << "```\n2\n3\n$ make\n5\n6\n7\n8\n9" << 8 << CodingTool::generic
            << "$ make\n5\n6\n7\n8\n9";
        QTest::newRow("hyphen rule is a codex landmark, not a claude one")
            << "0\n1\n---\n3\n4\n5\n6\n7" << 7 << CodingTool::codex << "---\n3\n4\n5\n6\n7";
    }

    void recentLines() {
        QFETCH(QString, text);
        QFETCH(int, count);
        QFETCH(CodingTool, tool);
        QFETCH(QString, excerpt);
        QCOMPARE(ScreenAnalysis::recentLines(text, count, tool), excerpt);
        if (tool == CodingTool::codex)
            QCOMPARE(ScreenAnalysis::recentLines(text, count, CodingTool::claudeCode),
                     text.section(QLatin1Char('\n'), 1));
    }

    void cleanForDisplay_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cleaned");

        QTest::newRow("three borders become one rule")
            << "top\n╭────────────────╮\n│                │\n╰────────────────╯\nbottom"
            << "top\n───\nbottom";
        QTest::newRow("three other characters keep a long line") << "  ───── abc ─────"
                                                                 << "  ───── abc ─────";
        QTest::newRow("a kept line ends the run")
            << "──────────────\nabc\n──────────────\n══════════════"
            << "───\nabc\n───";
        QTest::newRow("characters are grapheme clusters, not code units")
            << QStringLiteral("──────── a\u0301 b\u0301 ────────\n────────a\u0301")
            << QStringLiteral("───\n────────a\u0301");
    }

    void cleanForDisplay() {
        QFETCH(QString, text);
        QFETCH(QString, cleaned);
        QCOMPARE(ScreenAnalysis::cleanForDisplay(text), cleaned);
    }
};

QUILLET_TEST_GUILESS_MAIN(TestScreenAnalysis)
#include "tst_screenanalysis.moc"
