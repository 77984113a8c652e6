#pragma once

#include <QCommandLineParser>
#include <QStringList>
#include <QTextStream>
#include <optional>

namespace quillet::cli {

// QCommandLineParser for one subcommand: "--help" prints its usage and ends with status 0,
// a wrong option or argument count ends with a message on standard error and status 1.
class CliParser {
public:
    // `command` is the words that name the subcommand ("quillet projects add").
    CliParser(const QString &command, const QString &description);

    QCommandLineParser &parser() { return m_parser; }
    void addOption(const QCommandLineOption &option) { m_parser.addOption(option); }
    void addPositional(const QString &name, const QString &description, const QString &syntax = {});

    // Parses `args` (the words after the command). Returns an exit status when the caller must
    // stop (help shown or an error printed), nothing when parsing succeeded and the positional
    // argument count lies in [minPositional, maxPositional].
    std::optional<int> parse(const QStringList &args, int minPositional, int maxPositional);

    QStringList positional() const { return m_parser.positionalArguments(); }
    bool isSet(const QString &name) const { return m_parser.isSet(name); }
    QString value(const QString &name) const { return m_parser.value(name); }

    int fail(const QString &message) const;
    QString helpText() const;

private:
    QString m_command;
    QCommandLineParser m_parser;
};

QTextStream &out();
QTextStream &err();
// Prints "quillet: MESSAGE" on standard error and returns 1.
int fail(const QString &message);

} // namespace quillet::cli
