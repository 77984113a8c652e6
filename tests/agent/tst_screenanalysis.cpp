#include "agent/ScreenAnalysis.h"
#include "support/TestEnvironment.h"

#include <QFile>

using namespace quillet;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

QString screen(const QString &name) {
    QFile file(QStringLiteral(QUILLET_TEST_SUPPORT_DIR "/screens/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test screen %s", qPrintable(name));
    return QString::fromUtf8(file.readAll());
}

QString lines(const QStringList &list) {
    return list.join(QLatin1Char('\n'));
}

const std::optional<QString> absent = std::nullopt;

} // namespace

class TestScreenAnalysis : public QObject {
    Q_OBJECT

private slots:
    void questionTextOnScreens_data();
    void questionTextOnScreens();
    void questionTextSteps_data();
    void questionTextSteps();
    void extractQuestion_data();
    void extractQuestion();
    void fallbackQuestion_data();
    void fallbackQuestion();
    void questionKeyFallsBack();
    void contentHash_data();
    void contentHash();
    void recentLines_data();
    void recentLines();
    void cleanForDisplay_data();
    void cleanForDisplay();
};

void TestScreenAnalysis::questionTextOnScreens_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("question");
    QTest::addColumn<bool>("menu");

    QTest::newRow("permission box with nested diff")
        << "claude-edit-box.txt"
        << "Do you want to make this edit to config.py?" << true;
    QTest::newRow("permission menu above a hint footer") << "claude-bash-permission.txt"
                                                         << "Do you want to proceed?" << true;
    QTest::newRow("prose question above an empty input field")
        << "claude-prose-question.txt"
        << "ready signal in the fixture. Which approach do you prefer? The second one" << false;
    QTest::newRow("options with indented descriptions")
        << "claude-menu-descriptions.txt"
        << "How should I handle the failing migration?" << true;
    QTest::newRow("question mid-line, several lines above the menu")
        << "claude-trust-folder.txt"
        << "Quick safety check: Is this a project you created or one you trust? (Like" << true;
    QTest::newRow("codex menu with the › cursor")
        << "codex-approval.txt"
        << "Would you like to run the following command?" << true;
    QTest::newRow("codex composer with a placeholder")
        << "codex-idle.txt"
        << "─ Worked for 1m 12s ─────────────────────────────────────────────────────────" << false;
    QTest::newRow("whiptail yes/no box") << "whiptail-yesno.txt"
                                         << "installation of 37 new packages?" << false;
    QTest::newRow("dialog box that asks nothing")
        << "dialog-msgbox.txt"
        << "The disk is almost full. Old build logs" << false;
    QTest::newRow("rm -i") << "shell-rm-i.txt"
                           << "rm: remove regular file 'notes.txt'?" << false;
    QTest::newRow("read -p") << "shell-read-p.txt"
                             << "Continue with the database migration? [y/N]" << false;
    QTest::newRow("apt") << "shell-apt.txt"
                         << "Do you want to continue? [Y/n]" << false;
    QTest::newRow("git add -p") << "shell-git-add-p.txt"
                                << "(1/1) Stage this hunk [y,n,q,a,d,e,?]?" << false;
    QTest::newRow("idle shell") << "shell-idle.txt"
                                << "dev@box:~/app/build$" << false;
}

void TestScreenAnalysis::questionTextOnScreens() {
    QFETCH(QString, file);
    QFETCH(QString, question);
    QFETCH(bool, menu);
    const QString capture = screen(file);
    QCOMPARE(ScreenAnalysis::questionText(capture), question);
    QCOMPARE(ScreenAnalysis::endsInNumberedMenu(capture), menu);
}

void TestScreenAnalysis::questionTextSteps_data() {
    QTest::addColumn<QString>("capture");
    QTest::addColumn<QString>("question");
    QTest::addColumn<bool>("menu");

    // Step 2: nothing but blanks and box drawing.
    QTest::newRow("empty") << QString() << QString() << false;
    QTest::newRow("white space only") << " \n\t\n  \n" << QString() << false;
    QTest::newRow("box drawing only, returned trimmed") << "\n  ╭───╮\n  ╰───╯  \n"
                                                        << "╭───╮\n  ╰───╯" << false;
    QTest::newRow("a frame edge with a title is no content")
        << "╭─── Settings ───╮\n╰────────────────╯"
        << "╭─── Settings ───╮\n╰────────────────╯" << false;

    // Steps 3 and 8: hints are set aside, yet a lone "press enter" still is the question.
    QTest::newRow("press enter on its own") << "Setup complete.\nPress Enter to continue…"
                                            << "Press Enter to continue…" << false;
    QTest::newRow("a hint that asks stays") << "Saved 3 files.\nContinue? · esc to stop"
                                            << "Continue? · esc to stop" << false;
    QTest::newRow("only hints, none asks") << "Esc to cancel · Tab to amend"
                                           << "Esc to cancel · Tab to amend" << false;

    // Step 4a: input fields.
    QTest::newRow("input line ❯") << lines({"Shall I also update the docs?",
                                            "It lists the old flags.", "Two pages mention them.",
                                            "", "❯"})
                                  << "Shall I also update the docs?" << false;
    QTest::newRow("input line with text after the cursor")
        << "Which branch should I rebase onto?\n> main"
        << "Which branch should I rebase onto?" << false;
    QTest::newRow("one-row box") << lines({"What should the commit message say?",
                                           "Recent: fix lint", "Recent: bump deps", "Recent: docs",
                                           "╭──────────╮", "│ Type a message… │", "╰──────────╯"})
                                 << "What should the commit message say?" << false;
    QTest::newRow("a bordered row outside a box is no input field")
        << lines({"What should the commit message say?", "Recent: fix lint", "Recent: bump deps",
                  "Status:", "│ Type a message… │"})
        << "Type a message…" << false;

    // Step 4b and 5: buttons, with and without a box around them.
    QTest::newRow("button row, no box")
        << lines({"Overwrite the existing file?", "It was changed 2 minutes ago.", "Size: 3 kB",
                  "<Yes>  <No>"})
        << "Overwrite the existing file?" << false;
    QTest::newRow("box rows: the lowest that asks")
        << lines({"┌──────────────────┐", "│ Delete branch?   │", "│ It has 3 commits │",
                  "│ not on main.     │", "│ <Yes>   <No>     │", "└──────────────────┘"})
        << "Delete branch?" << false;

    // Step 4c: menus.
    QTest::newRow("menu without cursor, last two are options")
        << lines({"Which license should the package use?", "1. MIT", "2. Apache-2.0"})
        << "Which license should the package use?" << true;
    QTest::newRow("a numbered list followed by prose is no menu")
        << lines({"Done. Changes:", "1. Fixed the parser", "2. Added tests",
                  "All done. Ready for review."})
        << "All done. Ready for review." << false;
    QTest::newRow("a single option without cursor is no menu")
        << lines({"Steps taken:", "  1. Ran the tests", "     all 12 passed"}) << "all 12 passed"
        << false;

    // Step 6: the line that asks among the six above the area, else the one just above.
    QTest::newRow("question six lines above the menu")
        << lines({"Shall I apply the patch?", "a", "b", "c", "d", "e", "❯ 1. Yes", "  2. No"})
        << "Shall I apply the patch?" << true;
    QTest::newRow("question seven lines above the menu is too far")
        << lines({"Shall I apply the patch?", "a", "b", "c", "d", "e", "f", "❯ 1. Yes", "  2. No"})
        << "f" << true;
    QTest::newRow("the lowest that asks wins")
        << lines({"Is this fine?", "Really, shall I go on?", "❯ 1. Yes", "  2. No"})
        << "Really, shall I go on?" << true;

    // Steps 7 and 9.
    QTest::newRow("yes/no marker within the last three lines")
        << lines({"Overwrite config.yaml (y/n)", "note: a backup exists", "in config.yaml.bak"})
        << "Overwrite config.yaml (y/n)" << false;
    QTest::newRow("nothing asks: the last content line")
        << lines({"compiling", "linking", "", "───────", "done in 3.2s", "───────"})
        << "done in 3.2s" << false;
    QTest::newRow("a question mark inside a word does not ask")
        << lines({"Which mode?", "x", "y", "url?id=3"}) << "url?id=3" << false;
}

void TestScreenAnalysis::questionTextSteps() {
    QFETCH(QString, capture);
    QFETCH(QString, question);
    QFETCH(bool, menu);
    QCOMPARE(ScreenAnalysis::questionText(capture), question);
    QCOMPARE(ScreenAnalysis::endsInNumberedMenu(capture), menu);
}

void TestScreenAnalysis::extractQuestion_data() {
    QTest::addColumn<QString>("capture");
    QTest::addColumn<CodingTool>("tool");
    QTest::addColumn<std::optional<QString>>("question");

    QTest::newRow("empty") << QString() << CodingTool::generic << absent;
    QTest::newRow("white space") << "  \n \n\t" << CodingTool::claudeCode << absent;
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
    QTest::newRow("bullet is text for other tools")
        << lines({"⏺ Shall I run the tests", "  before committing?"}) << CodingTool::generic
        << std::optional<QString>("⏺ Shall I run the tests before committing?");
    QTest::newRow("codex boundary of hyphens")
        << lines({"old question?", "-----", "Apply the fix", "to all 3 files? (y/n)"})
        << CodingTool::codex << std::optional<QString>("Apply the fix to all 3 files? (y/n)");
    QTest::newRow("generic boundary of rules")
        << lines({"old", "═══", "Proceed [Y/n]"}) << CodingTool::generic
        << std::optional<QString>("Proceed [Y/n]");
    QTest::newRow("claude boundary ignores hyphens")
        << lines({"first", "-----", "Delete it?"}) << CodingTool::claudeCode
        << std::optional<QString>("first ----- Delete it?");
    QTest::newRow("the lowest prompt line wins")
        << lines({"Continue? (y/n)", "y", "Deny or approve the request", "done"})
        << CodingTool::generic
        << std::optional<QString>("Continue? (y/n) y Deny or approve the request");
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

void TestScreenAnalysis::extractQuestion() {
    QFETCH(QString, capture);
    QFETCH(CodingTool, tool);
    QFETCH(std::optional<QString>, question);
    QCOMPARE(ScreenAnalysis::extractQuestion(capture, tool), question);
}

void TestScreenAnalysis::fallbackQuestion_data() {
    QTest::addColumn<QString>("capture");
    QTest::addColumn<CodingTool>("tool");
    QTest::addColumn<int>("maxLines");
    QTest::addColumn<std::optional<QString>>("question");

    QTest::newRow("empty") << "\n \n" << CodingTool::generic << 5 << absent;
    QTest::newRow("only boxes") << "╭──╮\n│  │\n╰──╯ - -" << CodingTool::claudeCode << 5 << absent;
    QTest::newRow("the last lines, trimmed")
        << "one\n  two  \n\nthree\n\tfour" << CodingTool::generic << 3
        << std::optional<QString>("two\nthree\nfour");
    QTest::newRow("boundaries dropped per tool")
        << "text\n---- x\n─── y" << CodingTool::generic << 5 << std::optional<QString>("text");
    QTest::newRow("codex keeps a box row with text")
        << "│ Run tests? │\n╰──────╯" << CodingTool::codex << 5
        << std::optional<QString>("│ Run tests? │");
    QTest::newRow("no lines wanted") << "text" << CodingTool::generic << 0 << absent;
}

void TestScreenAnalysis::fallbackQuestion() {
    QFETCH(QString, capture);
    QFETCH(CodingTool, tool);
    QFETCH(int, maxLines);
    QFETCH(std::optional<QString>, question);
    QCOMPARE(ScreenAnalysis::fallbackQuestion(capture, tool, maxLines), question);
}

void TestScreenAnalysis::questionKeyFallsBack() {
    const QString idle = screen(QStringLiteral("shell-idle.txt"));
    QCOMPARE(ScreenAnalysis::questionKey(idle, CodingTool::generic),
             std::optional<QString>("[100%] Linking CXX executable demo\n[100%] Built target "
                                    "demo\ndev@box:~/app/build$ ./demo --selftest\nselftest: 42 "
                                    "checks passed\ndev@box:~/app/build$"));
    const QString apt = screen(QStringLiteral("shell-apt.txt"));
    QVERIFY(ScreenAnalysis::questionKey(apt, CodingTool::generic)
                ->endsWith(QStringLiteral("will be used. Do you want to continue? [Y/n]")));
    QCOMPARE(ScreenAnalysis::questionKey(QStringLiteral(" \n"), CodingTool::codex), absent);
}

void TestScreenAnalysis::contentHash_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("digest");
    QTest::newRow("empty") << QString() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("abc") << "abc"
                         << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("UTF-8 bytes") << "é"
                                 << "66ddcd97cfdeabb2f6fb8a999b4bc76f";
    QTest::newRow("no normalisation") << "e\u0301"
                                      << "5526861fbb1e71a1bda6ac364310a807";
}

void TestScreenAnalysis::contentHash() {
    QFETCH(QString, text);
    QFETCH(QString, digest);
    QCOMPARE(ScreenAnalysis::contentHash(text), digest);
}

void TestScreenAnalysis::recentLines_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("count");
    QTest::addColumn<CodingTool>("tool");
    QTest::addColumn<QString>("excerpt");

    QTest::newRow("empty") << QString() << 5 << CodingTool::generic << QString();
    QTest::newRow("exactly n lines, trailing empty ones kept")
        << "a\nb\n\n"
        << 4 << CodingTool::generic << "a\nb\n\n";
    QTest::newRow("n + 1 lines without landmark drop the first")
        << "1\n2\n3\n4\n5\n6\n7" << 6 << CodingTool::generic << "2\n3\n4\n5\n6\n7";
    QTest::newRow("landmark in the last four lines is ignored")
        << "1\n2\n3\n4\n5\n6\n$ ls\n8\n9\n10" << 8 << CodingTool::generic
        << "3\n4\n5\n6\n$ ls\n8\n9\n10";
    QTest::newRow("landmark five lines from the end")
        << "1\n2\n3\n$ ls\n5\n6\n7\n8" << 7 << CodingTool::generic << "$ ls\n5\n6\n7\n8";
    QTest::newRow("the nearest landmark wins") << "```\n2\n3\n$ make\n5\n6\n7\n8\n9" << 8
                                               << CodingTool::generic << "$ make\n5\n6\n7\n8\n9";
    QTest::newRow("landmark beyond n lines is not reached")
        << "$ ls\n2\n3\n4\n5\n6\n7" << 6 << CodingTool::generic << "2\n3\n4\n5\n6\n7";
    QTest::newRow("claude tool action")
        << "0\n1\n  Running: make\n3\n4\n5\n6\n7" << 7 << CodingTool::claudeCode
        << "  Running: make\n3\n4\n5\n6\n7";
    QTest::newRow("hyphen rule is a codex landmark")
        << "0\n1\n---\n3\n4\n5\n6\n7" << 7 << CodingTool::codex << "---\n3\n4\n5\n6\n7";
    QTest::newRow("hyphen rule is no claude landmark")
        << "0\n1\n---\n3\n4\n5\n6\n7" << 7 << CodingTool::claudeCode << "1\n---\n3\n4\n5\n6\n7";
    QTest::newRow("fewer than five wanted")
        << "1\n2\n3\n$ x\n5" << 2 << CodingTool::generic << "$ x\n5";
}

void TestScreenAnalysis::recentLines() {
    QFETCH(QString, text);
    QFETCH(int, count);
    QFETCH(CodingTool, tool);
    QFETCH(QString, excerpt);
    QCOMPARE(ScreenAnalysis::recentLines(text, count, tool), excerpt);
}

void TestScreenAnalysis::cleanForDisplay_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("cleaned");

    QTest::newRow("three borders become one rule")
        << "top\n╭────────────────╮\n│                │\n╰────────────────╯\nbottom"
        << "top\n───\nbottom";
    QTest::newRow("a short line is kept as it is") << "  ─ ─ ─  \n\tab"
                                                   << "  ─ ─ ─  \n\tab";
    QTest::newRow("three other characters keep a long line") << "  ───── abc ─────"
                                                             << "  ───── abc ─────";
    QTest::newRow("two other characters make a rule") << "───── ab ─────"
                                                      << "───";
    QTest::newRow("a kept line ends the run")
        << "──────────────\nabc\n──────────────\n══════════════"
        << "───\nabc\n───";
    QTest::newRow("characters are grapheme clusters, not code units")
        << QStringLiteral("──────── a\u0301 b\u0301 ────────") << "───";
    QTest::newRow("nine clusters in ten code units are short")
        << QStringLiteral("────────a\u0301") << QStringLiteral("────────a\u0301");
    QTest::newRow("a kana voicing mark joins its kana")
        << QStringLiteral("────────か\u3099") << QStringLiteral("────────か\u3099");
    QTest::newRow("wide characters count one each")
        << QStringLiteral("──────── 中文 ────────\n──────── 中文字 ────────")
        << QStringLiteral("───\n──────── 中文字 ────────");
    QTest::newRow("empty lines stay") << "a\n\nb"
                                      << "a\n\nb";
}

void TestScreenAnalysis::cleanForDisplay() {
    QFETCH(QString, text);
    QFETCH(QString, cleaned);
    QCOMPARE(ScreenAnalysis::cleanForDisplay(text), cleaned);
}

QUILLET_TEST_GUILESS_MAIN(TestScreenAnalysis)
#include "tst_screenanalysis.moc"
