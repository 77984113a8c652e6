#include "cli/CliParser.h"

#include <QCoreApplication>
#include <cstdio>

namespace quillet::cli {

QTextStream &out() {
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err() {
    static QTextStream stream(stderr);
    return stream;
}

int fail(const QString &message) {
    out().flush();
    err() << "quillet: " << message << Qt::endl;
    return 1;
}

CliParser::CliParser(const QString &command, const QString &description) : m_command(command) {
    m_parser.setApplicationDescription(description);
    m_parser.addHelpOption();
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
}

void CliParser::addPositional(const QString &name, const QString &description,
                              const QString &syntax) {
    m_parser.addPositionalArgument(name, description, syntax);
}

QString CliParser::helpText() const {
    // QCommandLineParser names the executable only; name the whole subcommand instead.
    QString text = m_parser.helpText();
    const QString program = QCoreApplication::applicationName().isEmpty()
                                ? QStringLiteral("quillet")
                                : QCoreApplication::applicationName();
    const QString usage = QStringLiteral("Usage: ");
    if (text.startsWith(usage)) {
        const qsizetype end = text.indexOf(QLatin1Char(' '), usage.size());
        if (end > 0 && text.mid(usage.size(), end - usage.size()).endsWith(program))
            text.replace(usage.size(), end - usage.size(), m_command);
    }
    return text;
}

int CliParser::fail(const QString &message) const {
    return cli::fail(message + QStringLiteral("\nTry '") + m_command + QStringLiteral(" --help'."));
}

std::optional<int> CliParser::parse(const QStringList &args, int minPositional, int maxPositional) {
    QStringList withProgram = args;
    withProgram.prepend(m_command);
    if (!m_parser.parse(withProgram))
        return fail(m_parser.errorText());
    if (m_parser.isSet(QStringLiteral("help"))) {
        out() << helpText();
        out().flush();
        return 0;
    }
    const auto count = m_parser.positionalArguments().size();
    if (count < minPositional)
        return fail(QStringLiteral("missing argument"));
    if (maxPositional >= 0 && count > maxPositional)
        return fail(QStringLiteral("unexpected argument '%1'")
                        .arg(m_parser.positionalArguments().value(maxPositional)));
    return std::nullopt;
}

} // namespace quillet::cli
