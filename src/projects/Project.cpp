#include "projects/Project.h"

#include <QTextBoundaryFinder>

namespace quillet {

QString uuidText(const QUuid &id) {
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QString Project::idText() const {
    return uuidText(id);
}

QString sessionName(const QString &projectName) {
    const QString lower = projectName.toLower();
    QString result;
    result.reserve(lower.size());
    // Classify user-perceived characters, not UTF-16 units: a decomposed "é" (e and a combining
    // accent) is one letter and keeps its accent; a letter outside the BMP is one letter too.
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, lower);
    qsizetype start = 0;
    while (start < lower.size()) {
        qsizetype end = graphemes.toNextBoundary();
        if (end <= start)
            end = lower.size();
        const QStringView cluster = QStringView(lower).mid(start, end - start);
        const char32_t first = cluster.toUcs4().value(0);
        if (first == U' ' || first == U'-')
            result += QLatin1Char('-');
        else if (QChar::isLetterOrNumber(first))
            result += cluster;
        start = end;
    }
    return result;
}

} // namespace quillet
