#include "agent/ScreenAnalysis.h"

#include <QCryptographicHash>
#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <initializer_list>

namespace quillet {

namespace {

// Patterns work on characters, so a class of box characters matches one character and \s, \d,
// \b follow Unicode properties.
QRegularExpression unicodePattern(const QString &pattern) {
    QRegularExpression re(pattern, QRegularExpression::UseUnicodePropertiesOption);
    re.optimize();
    return re;
}

bool found(const QRegularExpression &re, QStringView text) {
    return re.match(text).hasMatch();
}

// The 35 box and block characters shared by both character sets.
constexpr QStringView boxDrawing = u"─━═╭╮╰╯├┤┬┴┼│┌┐└┘╔╗╚╝║╠╣╦╩╬▀▄█▌▐░▒▓";

bool isBoxDrawing(QChar c) {
    return c.unicode() >= 0x2500 && c.unicode() <= 0x2593 && boxDrawing.contains(c);
}

// `boxCharacters`: box drawing, the blank and the hyphen.
bool isBoxCharacter(QChar c) {
    return c == u' ' || c == u'-' || isBoxDrawing(c);
}

// `displayBoxCharacters`: the same plus the tab character.
bool isDisplayBoxCharacter(QChar c) {
    return c == u'\t' || isBoxCharacter(c);
}

template <typename Predicate> bool hasCharacterOutside(QStringView text, Predicate inSet) {
    for (QChar c : text) {
        if (!inSet(c))
            return true;
    }
    return false;
}

// Horizontal white space: the tab and the space separators; never a line break.
bool isBlank(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QStringView trimBlanks(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// Code units that are a cluster of their own whatever surrounds them, when every neighbour is
// one of them too: no combining marks, joiners, variation selectors, surrogates, Hangul jamo or
// CR among them. Covers the usual screen: Latin text, punctuation, arrows, symbols, box drawing,
// CJK, kana, full-width forms, Hangul.
bool isSelfContained(QChar c) {
    const char16_t u = c.unicode();
    return (u < 0x300 && u != u'\r') || (u >= 0x2010 && u <= 0x2027) ||
           (u >= 0x2030 && u <= 0x205E) || (u >= 0x2190 && u <= 0x2BFF) ||
           (u >= 0x3000 && u <= 0x3029) || (u >= 0x3030 && u <= 0x3098) ||
           (u >= 0x309B && u <= 0x30FF) || (u >= 0x4E00 && u <= 0x9FFF) ||
           (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xFF01 && u <= 0xFF9D);
}

// True when `text` holds more than `limit` user-perceived characters.
bool hasMoreCharactersThan(QStringView text, qsizetype limit) {
    if (text.size() <= limit)
        return false; // a cluster is at least one code unit
    if (std::all_of(text.begin(), text.end(), isSelfContained))
        return true;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype clusters = 0;
    while (finder.toNextBoundary() != -1) {
        if (++clusters > limit)
            return true;
    }
    return false;
}

QList<QStringView> splitLines(QStringView text) {
    return text.split(u'\n');
}

const QRegularExpression &forTool(CodingTool tool, const QRegularExpression &claude,
                                  const QRegularExpression &codex,
                                  const QRegularExpression &generic) {
    switch (tool) {
    case CodingTool::claudeCode:
        return claude;
    case CodingTool::codex:
        return codex;
    case CodingTool::generic:
        break;
    }
    return generic;
}

const QRegularExpression &boundaryPattern(CodingTool tool) {
    static const QRegularExpression claude = unicodePattern(QStringLiteral("^[─━═╭╮╰╯├┤┬┴┼]{3,}"));
    static const QRegularExpression codex =
        unicodePattern(QStringLiteral("^[─━═╭╮╰╯├┤┬┴┼\\-]{3,}"));
    static const QRegularExpression generic = unicodePattern(QStringLiteral("^[\\-─━═]{3,}"));
    return forTool(tool, claude, codex, generic);
}

// Only whether some landmark matches counts, so each tool's list is one alternation.
const QRegularExpression &landmarkPattern(CodingTool tool) {
    static const QRegularExpression claude = unicodePattern(QStringLiteral(
        "^[─━═╭╮╰╯├┤┬┴┼]|^─{3,}|^\\s*\\$ |^>\\s|^```|^\\s*Running:|^\\s*Reading:|^\\s*Wrote:|"
        "^\\s*Edit:"));
    static const QRegularExpression codex =
        unicodePattern(QStringLiteral("^[─━═\\-]{3,}|^\\s*\\$ |^```|^\\s*Running:"));
    static const QRegularExpression generic =
        unicodePattern(QStringLiteral("^[\\-─]{3,}|^\\s*\\$ |^```"));
    return forTool(tool, claude, codex, generic);
}

// A prompt line: one of the prompt patterns, or a question mark at the end.
bool isPromptLine(QStringView trimmed) {
    static const QRegularExpression prompt = unicodePattern(QStringLiteral(
        "\\(y/n\\)|\\(Y/n\\)|\\[Y/n\\]|\\(yes/no\\)|\\[yes/no\\]|Do you want to proceed\\?|"
        "Allow\\b|Deny\\b|Approve\\b|Reject\\b|\\?\\s*$"));
    return found(prompt, trimmed);
}

// ---- the question line ------------------------------------------------------------------------

bool isBorder(QChar c) {
    return c == u'│' || c == u'║';
}

bool isBorderRow(QStringView trimmed) {
    static constexpr QStringView opening = u"╭┌╰└├";
    static constexpr QStringView closing = u"╮┐╯┘┤";
    return !trimmed.isEmpty() && opening.contains(trimmed.front()) &&
           closing.contains(trimmed.back());
}

qsizetype codePoints(QStringView text) {
    qsizetype count = 0;
    for (QChar c : text) {
        if (!c.isLowSurrogate())
            ++count;
    }
    return count;
}

QString asciiLower(QStringView text) {
    QString lower = text.toString();
    for (QChar &c : lower) {
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + (u'a' - u'A'));
    }
    return lower;
}

bool containsAny(const QString &text, std::initializer_list<QStringView> needles) {
    for (QStringView needle : needles) {
        if (text.contains(needle))
            return true;
    }
    return false;
}

const QRegularExpression &numberedOptionPattern() {
    static const QRegularExpression re = unicodePattern(QStringLiteral("^[❯>›\\s]*(\\d+)\\.\\s+"));
    return re;
}

bool isNumberedOption(QStringView text) {
    return found(numberedOptionPattern(), text);
}

bool isCursorOption(QStringView text) {
    return isNumberedOption(text) &&
           (text.startsWith(u'❯') || text.startsWith(u'>') || text.startsWith(u'›'));
}

bool hasYesNoMarker(QStringView text) {
    static const QRegularExpression re =
        unicodePattern(QStringLiteral("[\\(\\[]\\s*[Yy](es)?\\s*/\\s*[Nn](o)?\\s*[\\)\\]]"));
    return found(re, text);
}

bool opensRequest(QStringView text) {
    static const QRegularExpression re = unicodePattern(
        QStringLiteral("^(Allow|Do you want|Would you like|Approve|Confirm|Proceed)"));
    return found(re, text);
}

bool looksLikeQuestion(QStringView text) {
    static const QRegularExpression re = unicodePattern(QStringLiteral("\\?$|\\S\\?\\s"));
    return found(re, text);
}

bool asks(QStringView text) {
    if (hasYesNoMarker(text) || opensRequest(text) || looksLikeQuestion(text))
        return true;
    const QString lower = asciiLower(text);
    return containsAny(lower, {u"press enter", u"press return"});
}

bool isHintLine(QStringView text) {
    if (hasYesNoMarker(text) || opensRequest(text) || looksLikeQuestion(text))
        return false;
    if (text.contains(u" · "))
        return true;
    return containsAny(asciiLower(text), {u"esc to", u"enter to", u"return to", u"tab to", u"ctrl+",
                                          u"ctrl-", u"to navigate", u"for shortcuts"});
}

bool isInputLine(QStringView text) {
    static const QRegularExpression re = unicodePattern(QStringLiteral("^[❯>›](\\s|$)"));
    return found(re, text) && !isNumberedOption(text);
}

// A transcript message or a summary entry: "● text", "• text", "⏺ text".
bool startsWithBullet(QStringView text) {
    static const QRegularExpression re = unicodePattern(QStringLiteral("^[●•⏺]\\s"));
    return found(re, text);
}

QStringView withoutBullet(QStringView text) {
    return startsWithBullet(text) ? trimBlanks(text.sliced(1)) : text;
}

// A review's recap ("● Which framework?" above "→ Flask") or a tab bar ("← ☒ One  ✔ Submit →")
// restates what was asked before; it never is the question of the menu below it.
bool isSummaryLine(QStringView text) {
    static const QRegularExpression re =
        unicodePattern(QStringLiteral("^[●•⏺→←⎿└]\\s"));
    return found(re, text);
}

// What an agent prints when a turn ends ("✻ Cooked for 1s · done", "Worked for 2s • 02:14"):
// it tells how long the turn took, not what the agent said.
bool isTurnStatus(QStringView text) {
    static const QRegularExpression re =
        unicodePattern(QStringLiteral("^([✻✶✳✢✽*·]\\s)?[A-Z][a-z]+ed for (<)?\\d+[hms]\\b"));
    return found(re, text);
}

// A menu line with the cursor on it: "❯ Yes", "› 2. No"; the cursor's column is returned.
const QRegularExpression &cursorPattern() {
    static const QRegularExpression re = unicodePattern(QStringLiteral("^[❯›>]\\s+\\S"));
    return re;
}

bool isButtonRow(QStringView text) {
    static const QRegularExpression re =
        unicodePattern(QStringLiteral("^<[^<>]+>(\\s*<[^<>]+>)*$"));
    return found(re, text);
}

// One line of the screen as the question finder sees it.
struct ScreenLine {
    qsizetype index = 0; // among all lines of the trimmed capture
    QStringView raw;
    QStringView text; // blanks and borders removed from both ends
    qsizetype indent = 0;
};

ScreenLine makeScreenLine(qsizetype index, QStringView raw) {
    qsizetype begin = 0;
    qsizetype end = raw.size();
    while (begin < end && (isBlank(raw[begin]) || isBorder(raw[begin])))
        ++begin;
    while (end > begin && (isBlank(raw[end - 1]) || isBorder(raw[end - 1])))
        --end;
    // Blanks and borders are single code units, so the units removed are the code points removed.
    return ScreenLine{index, raw, raw.sliced(begin, end - begin), begin};
}

enum class AnswerArea { none, inputField, buttonRow, menu, unnumberedMenu };

// The screen split as the question finder needs it: content lines, the key hints set aside at
// the bottom, and the answer area (input field, dialog buttons, menu) at the bottom of the rest.
class QuestionScreen {
    Q_DISABLE_COPY_MOVE(QuestionScreen) // the line views point into m_trimmed

public:
    explicit QuestionScreen(const QString &capture) : m_trimmed(capture.trimmed()) {
        m_lines = splitLines(m_trimmed);
        for (qsizetype i = 0; i < m_lines.size(); ++i) {
            const QStringView blankTrimmed = trimBlanks(m_lines[i]);
            if (!blankTrimmed.isEmpty() &&
                hasCharacterOutside(blankTrimmed, isDisplayBoxCharacter) &&
                !isBorderRow(blankTrimmed))
                m_content.append(makeScreenLine(i, m_lines[i]));
        }
        m_remainingCount = m_content.size();
        while (m_remainingCount > 0 && isHintLine(m_content[m_remainingCount - 1].text))
            --m_remainingCount;
        findAnswerArea();
    }

    ScreenAnalysis::QuestionChoice question() const {
        if (m_content.isEmpty())
            return {m_trimmed, QStringLiteral("nothing but blanks and box drawing")};
        if (!m_boxRows.isEmpty()) {
            for (const ScreenLine &row : m_boxRows) {
                if (asks(row.text))
                    return {row.text.toString(),
                            QStringLiteral("the lowest row of the dialog box that asks")};
            }
            return {m_boxRows.last().text.toString(),
                    QStringLiteral("the dialog box's top row: no row asks")};
        }
        if (m_area != AnswerArea::none && m_areaStart > 0) {
            const QString area = areaName();
            const bool field = m_area == AnswerArea::inputField;
            const qsizetype lowest = m_areaStart - 1;
            for (qsizetype i = lowest; i >= 0 && i > lowest - 6; --i) {
                // Above a menu a recap of earlier answers asks nothing; in a transcript a
                // message's bullet is no part of what it says.
                if (!field && isSummaryLine(m_content[i].text))
                    continue;
                if (asks(m_content[i].text))
                    return {withoutBullet(m_content[i].text).toString(),
                            QStringLiteral("the lowest line that asks above ") + area};
            }
            if (field && (inputIsEmpty() || isTurnStatus(m_content[lowest].text))) {
                if (const ScreenLine *message = lastMessage())
                    return {withoutBullet(message->text).toString(),
                            QStringLiteral("an idle prompt: the agent's last message")};
            }
            if (!field) {
                if (const ScreenLine *title = dialogTitle())
                    return {title->text.toString(),
                            QStringLiteral("no line asks: the title of the dialog above ") + area};
            }
            return {m_content[lowest].text.toString(),
                    QStringLiteral("no line asks: the line just above ") + area};
        }
        if (const ScreenLine *line = lowestAsking(m_remainingCount))
            return {line->text.toString(), QStringLiteral("the lowest line that asks")};
        if (const ScreenLine *line = lowestAsking(m_content.size()))
            return {line->text.toString(),
                    QStringLiteral("the lowest line that asks, among the key hints")};
        return {m_content.last().text.toString(),
                QStringLiteral("nothing asks: the last content line")};
    }

    std::optional<ScreenAnalysis::MenuCursor> menuCursor() const {
        if (m_area != AnswerArea::unnumberedMenu)
            return std::nullopt;
        return ScreenAnalysis::MenuCursor{int(m_optionCount), int(m_cursor)};
    }

    AnswerArea area() const { return m_area; }

private:
    QString areaName() const {
        switch (m_area) {
        case AnswerArea::inputField:
            return QStringLiteral("the input field");
        case AnswerArea::buttonRow:
            return QStringLiteral("the buttons");
        case AnswerArea::menu:
            return QStringLiteral("the numbered menu");
        case AnswerArea::unnumberedMenu:
            return QStringLiteral("the menu (cursor and aligned options)");
        case AnswerArea::none:
            break;
        }
        return QString();
    }

    bool inputIsEmpty() const {
        const QStringView input = m_content[m_areaStart].text;
        return input.size() == 1 && !isOneRowBox(m_content[m_areaStart]);
    }

    // The first line of the agent's last message: the lowest bulleted line above the input
    // field, not above the user's own last prompt.
    const ScreenLine *lastMessage() const {
        for (qsizetype i = m_areaStart - 1; i >= 0 && i >= m_areaStart - 12; --i) {
            if (isInputLine(m_content[i].text))
                return nullptr;
            if (startsWithBullet(m_content[i].text))
                return &m_content[i];
        }
        return nullptr;
    }

    // The first line of the paragraph just above the answer area (a recap paragraph is passed
    // over), when no line of that paragraph ends in "?": such a paragraph is the dialog's title
    // and its explanation.
    const ScreenLine *dialogTitle() const {
        qsizetype i = m_areaStart - 1;
        while (i >= 0) {
            qsizetype top = i;
            while (top > 0 && m_content[top - 1].index == m_content[top].index - 1)
                --top;
            bool recap = true;
            bool endsInQuestionMark = false;
            for (qsizetype j = top; j <= i; ++j) {
                recap = recap && isSummaryLine(m_content[j].text);
                endsInQuestionMark = endsInQuestionMark || m_content[j].text.endsWith(u'?');
            }
            if (!recap)
                return endsInQuestionMark ? nullptr : &m_content[top];
            i = top - 1;
        }
        return nullptr;
    }

    // The lowest of the last three of the first `count` content lines that asks.
    const ScreenLine *lowestAsking(qsizetype count) const {
        for (qsizetype i = count - 1; i >= 0 && i >= count - 3; --i) {
            if (asks(m_content[i].text))
                return &m_content[i];
        }
        return nullptr;
    }

    bool isBorderRowAt(qsizetype index, QStringView openings) const {
        if (index < 0 || index >= m_lines.size())
            return false;
        const QStringView trimmed = trimBlanks(m_lines[index]);
        return isBorderRow(trimmed) && openings.contains(trimmed.front());
    }

    bool isOneRowBox(const ScreenLine &line) const {
        const QStringView trimmed = trimBlanks(line.raw);
        return isBorder(trimmed.front()) && isBorder(trimmed.back()) &&
               isBorderRowAt(line.index - 1, u"╭┌") && isBorderRowAt(line.index + 1, u"╰└");
    }

    void findAnswerArea() {
        if (m_remainingCount == 0)
            return;
        const qsizetype last = m_remainingCount - 1;
        const ScreenLine &bottom = m_content[last];
        if (isInputLine(bottom.text) || isOneRowBox(bottom)) {
            // "❯ Blue" under "  Red" and "  Green" is a menu's cursor on its last option, not
            // text typed at a prompt.
            if (isInputLine(bottom.text))
                findUnnumberedMenu(last);
            if (m_area == AnswerArea::none)
                setArea(AnswerArea::inputField, last);
            return;
        }
        if (isButtonRow(bottom.text)) {
            setArea(AnswerArea::buttonRow, last);
            collectBoxRows(last);
            return;
        }
        findMenu(last);
        if (m_area == AnswerArea::none)
            findUnnumberedMenu(last);
    }

    // A menu without digits: the lowest line with the cursor ("❯ Label") and the lines right
    // above and below it whose text starts between the cursor and two columns past its label.
    void findUnnumberedMenu(qsizetype last) {
        for (qsizetype i = last; i >= 0; --i) {
            const ScreenLine &line = m_content[i];
            const QRegularExpressionMatch match = cursorPattern().match(line.text);
            if (!match.hasMatch() || isNumberedOption(line.text))
                continue;
            const qsizetype cursorColumn = line.indent;
            const qsizetype labelColumn = cursorColumn + match.capturedEnd() - 1;
            const auto sibling = [&](qsizetype j, qsizetype neighbour) {
                return j >= 0 && j <= last &&
                       m_content[j].index ==
                           m_content[neighbour].index + (j > neighbour ? 1 : -1) &&
                       m_content[j].indent > cursorColumn &&
                       m_content[j].indent <= labelColumn + 2 &&
                       !found(cursorPattern(), m_content[j].text);
            };
            qsizetype first = i;
            while (sibling(first - 1, first))
                --first;
            qsizetype end = i;
            while (sibling(end + 1, end))
                ++end;
            if (end == first)
                return; // the lowest cursor line is no menu: an echo of a prompt, say
            setArea(AnswerArea::unnumberedMenu, first);
            m_optionCount = end - first + 1;
            m_cursor = i - first;
            return;
        }
    }

    // The dialog's rows above its buttons, lowest first: the walk up stays inside the box's
    // left edge, and only content lines count.
    void collectBoxRows(qsizetype buttonRow) {
        qsizetype content = buttonRow - 1;
        for (qsizetype i = m_content[buttonRow].index - 1; i >= 0; --i) {
            const QStringView trimmed = trimBlanks(m_lines[i]);
            if (!trimmed.startsWith(u'│') && !trimmed.startsWith(u'├'))
                break;
            while (content >= 0 && m_content[content].index > i)
                --content;
            if (content >= 0 && m_content[content].index == i)
                m_boxRows.append(m_content[content]);
        }
    }

    void findMenu(qsizetype last) {
        qsizetype option = last;
        QRegularExpressionMatch match;
        for (; option >= 0; --option) {
            match = numberedOptionPattern().match(m_content[option].text);
            if (match.hasMatch())
                break;
        }
        if (option < 0)
            return;
        const ScreenLine &lowest = m_content[option];
        const qsizetype digitAt = lowest.text.data() - lowest.raw.data() + match.capturedStart(1);
        const qsizetype column = codePoints(lowest.raw.first(digitAt));
        for (qsizetype i = option + 1; i <= last; ++i) {
            if (m_content[i].indent <= column)
                return;
        }
        qsizetype start = option;
        while (start > 0 && (isNumberedOption(m_content[start - 1].text) ||
                             m_content[start - 1].indent > column))
            --start;
        bool hasCursor = false;
        for (qsizetype i = start; i <= last; ++i)
            hasCursor = hasCursor || isCursorOption(m_content[i].text);
        const bool endsInTwoOptions = last - start >= 1 && isNumberedOption(m_content[last].text) &&
                                      isNumberedOption(m_content[last - 1].text);
        if (hasCursor || endsInTwoOptions)
            setArea(AnswerArea::menu, start);
    }

    void setArea(AnswerArea area, qsizetype start) {
        m_area = area;
        m_areaStart = start;
    }

    QString m_trimmed;
    QList<QStringView> m_lines;
    QList<ScreenLine> m_content;
    qsizetype m_remainingCount = 0; // content lines above the set-aside hint lines
    AnswerArea m_area = AnswerArea::none;
    qsizetype m_areaStart = 0;   // first remaining line of the area
    QList<ScreenLine> m_boxRows; // lowest first
    qsizetype m_optionCount = 0; // of an unnumbered menu
    qsizetype m_cursor = 0;      // the option under its cursor, from 0
};

} // namespace

std::optional<QString> ScreenAnalysis::extractQuestion(const QString &capture, CodingTool tool) {
    const QString trimmed = capture.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    QList<QStringView> lines = splitLines(trimmed);
    if (lines.size() > 20)
        lines = lines.sliced(lines.size() - 20);
    QList<QStringView> kept;
    for (QStringView line : lines) {
        if (!trimBlanks(line).isEmpty())
            kept.append(line);
    }
    if (kept.size() > 15)
        kept = kept.sliced(kept.size() - 15);

    qsizetype prompt = kept.size() - 1;
    while (prompt >= 0 && !isPromptLine(trimBlanks(kept[prompt])))
        --prompt;
    if (prompt < 0)
        return std::nullopt;

    static const QRegularExpression bullet = unicodePattern(QStringLiteral("^⏺\\s"));
    const bool claude = tool == CodingTool::claudeCode;
    qsizetype first = prompt;
    for (qsizetype i = prompt - 1; i >= 0; --i) {
        const QStringView line = trimBlanks(kept[i]);
        if (found(boundaryPattern(tool), line))
            break;
        first = i;
        if (claude && found(bullet, line))
            break;
    }

    QStringList parts;
    for (qsizetype i = first; i <= prompt; ++i) {
        const QStringView line = trimBlanks(kept[i]);
        if (!line.isEmpty())
            parts.append(line.toString());
    }
    QString question = parts.join(QLatin1Char(' '));
    if (claude) {
        static const QRegularExpression leadingBullet = unicodePattern(QStringLiteral("^⏺\\s*"));
        question.remove(leadingBullet);
        question = trimBlanks(question).toString();
    }
    return question;
}

std::optional<QString> ScreenAnalysis::fallbackQuestion(const QString &capture, CodingTool tool,
                                                        int maxLines) {
    const QString trimmed = capture.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    QList<QStringView> kept;
    for (QStringView line : splitLines(trimmed)) {
        line = trimBlanks(line);
        if (!line.isEmpty() && !found(boundaryPattern(tool), line) &&
            hasCharacterOutside(line, isBoxCharacter))
            kept.append(line);
    }
    if (maxLines <= 0 || kept.isEmpty())
        return std::nullopt;
    if (kept.size() > maxLines)
        kept = kept.sliced(kept.size() - maxLines);
    QString joined;
    for (QStringView line : kept) {
        if (!joined.isEmpty())
            joined.append(QLatin1Char('\n'));
        joined.append(line);
    }
    return joined;
}

QString ScreenAnalysis::contentHash(const QString &text) {
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

QString ScreenAnalysis::recentLines(const QString &text, int count, CodingTool tool) {
    if (text.isEmpty() || count <= 0)
        return QString();
    const QList<QStringView> lines = splitLines(text);
    const qsizetype total = lines.size();
    if (total <= count)
        return text;
    qsizetype start = total - count;
    // Only lines 5 to `count` from the end can start the excerpt; the nearest landmark wins.
    for (qsizetype distance = 5; distance <= count; ++distance) {
        if (found(landmarkPattern(tool), lines[total - distance])) {
            start = total - distance;
            break;
        }
    }
    // The excerpt is a suffix of the text: cut at the start of line `start`.
    const qsizetype offset = lines[start].data() - text.constData();
    return text.sliced(offset);
}

QString ScreenAnalysis::cleanForDisplay(const QString &text) {
    QString cleaned;
    cleaned.reserve(text.size());
    bool lastWasRule = false;
    bool firstLine = true;
    const auto keep = [&](QStringView line) {
        if (!firstLine)
            cleaned.append(QLatin1Char('\n'));
        cleaned.append(line);
        firstLine = false;
    };
    QString remainder;
    for (QStringView line : splitLines(text)) {
        const QStringView trimmed = trimBlanks(line);
        if (!hasMoreCharactersThan(trimmed, 9)) {
            keep(line);
            lastWasRule = false;
            continue;
        }
        remainder.clear();
        for (QChar c : trimmed) {
            if (!isDisplayBoxCharacter(c))
                remainder.append(c);
        }
        if (hasMoreCharactersThan(remainder, 2)) {
            keep(line);
            lastWasRule = false;
            continue;
        }
        if (!lastWasRule)
            keep(u"───");
        lastWasRule = true;
    }
    return cleaned;
}

QString ScreenAnalysis::questionText(const QString &capture) {
    return QuestionScreen(capture).question().text;
}

ScreenAnalysis::QuestionChoice ScreenAnalysis::explainQuestion(const QString &capture) {
    return QuestionScreen(capture).question();
}

std::optional<ScreenAnalysis::MenuCursor> ScreenAnalysis::unnumberedMenu(const QString &capture) {
    return QuestionScreen(capture).menuCursor();
}

bool ScreenAnalysis::endsInNumberedMenu(const QString &capture) {
    return QuestionScreen(capture).area() == AnswerArea::menu;
}

std::optional<QString> ScreenAnalysis::questionKey(const QString &capture, CodingTool tool) {
    if (auto question = extractQuestion(capture, tool))
        return question;
    return fallbackQuestion(capture, tool, 5);
}

} // namespace quillet
