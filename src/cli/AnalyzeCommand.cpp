#include "cli/AnalyzeCommand.h"

#include "agent/ScreenAnalysis.h"
#include "cli/CliParser.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringDecoder>
#include <limits>

namespace quillet::cli {

namespace {

// A pane's screen is a few kilobytes; far more is not a capture (think of /dev/zero).
constexpr qint64 maxInputBytes = 16 * 1024 * 1024;

QJsonValue textOrNull(const std::optional<QString> &text) {
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

} // namespace

int AnalyzeCommand::run(const QStringList &args) {
    CliParser parser(QStringLiteral("quillet analyze"),
                     QStringLiteral("Shows what Quillet makes of a captured pane screen: the "
                                    "question key and its digest, the question text sent to the "
                                    "phone, the context and the streamed screen.\n"
                                    "Capture a pane with: tmux capture-pane -p -t TARGET > FILE"));
    const QCommandLineOption toolOption(
        QStringLiteral("tool"), QStringLiteral("The coding tool: claude-code, codex or generic."),
        QStringLiteral("TOOL"), QStringLiteral("generic"));
    const QCommandLineOption contextOption(
        QStringLiteral("context-lines"),
        QStringLiteral("Lines of context sent with a question (default 50)."), QStringLiteral("N"),
        QStringLiteral("50"));
    const QCommandLineOption explainOption(
        QStringLiteral("explain"),
        QStringLiteral("Also say which rule chose the question text (question_rule)."));
    parser.addOption(toolOption);
    parser.addOption(contextOption);
    parser.addOption(explainOption);
    parser.addPositional(QStringLiteral("FILE"),
                         QStringLiteral("The captured screen; standard input when absent or '-'."),
                         QStringLiteral("[FILE|-]"));
    if (const auto status = parser.parse(args, 0, 1))
        return *status;

    const QString toolName = parser.value(QStringLiteral("tool"));
    const std::optional<CodingTool> tool = codingToolFromRawValue(toolName);
    if (!tool)
        return parser.fail(
            QStringLiteral("unknown tool '%1' (use claude-code, codex or generic)").arg(toolName));
    const QString linesText = parser.value(QStringLiteral("context-lines")).trimmed();
    bool isNumber = false;
    const int contextLines = linesText.toInt(&isNumber);
    static const QRegularExpression wholeNumber(QStringLiteral("^\\+?[0-9]+$"));
    if (!isNumber && wholeNumber.match(linesText).hasMatch())
        return parser.fail(QStringLiteral("--context-lines %1 is out of range (at most %2)")
                               .arg(linesText)
                               .arg(std::numeric_limits<int>::max()));
    if (!isNumber || contextLines < 1)
        return parser.fail(QStringLiteral("--context-lines must be a whole number of at least 1"));

    const QString path = parser.positional().value(0, QStringLiteral("-"));
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened)
        return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    const QString shownPath = path == QLatin1String("-") ? QStringLiteral("standard input") : path;
    const QByteArray bytes = file.read(maxInputBytes + 1);
    if (bytes.size() > maxInputBytes)
        return fail(QStringLiteral("%1 holds more than 16 MiB, more than any pane's screen; "
                                   "nothing was analysed")
                        .arg(shownPath));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString capture = decoder.decode(bytes);
    if (decoder.hasError())
        return fail(QStringLiteral("%1 is not valid UTF-8 text (Quillet sees such a screen as "
                                   "empty)")
                        .arg(shownPath));

    const std::optional<QString> key = ScreenAnalysis::questionKey(capture, *tool);
    QJsonObject result;
    result.insert(QStringLiteral("key"), textOrNull(key));
    result.insert(
        QStringLiteral("digest"),
        textOrNull(key ? std::optional(ScreenAnalysis::contentHash(*key)) : std::nullopt));
    const ScreenAnalysis::QuestionChoice question = ScreenAnalysis::explainQuestion(capture);
    result.insert(QStringLiteral("question_text"), question.text);
    if (parser.isSet(QStringLiteral("explain")))
        result.insert(QStringLiteral("question_rule"), question.rule);
    result.insert(
        QStringLiteral("context"),
        ScreenAnalysis::cleanForDisplay(ScreenAnalysis::recentLines(capture, contextLines, *tool)));
    result.insert(QStringLiteral("stream"), ScreenAnalysis::cleanForDisplay(
                                                ScreenAnalysis::recentLines(capture, 100, *tool)));
    out() << QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Indented));
    out().flush();
    return 0;
}

} // namespace quillet::cli
