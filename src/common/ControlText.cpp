#include "common/ControlText.h"

#include <QList>

namespace quillet {

namespace {

template <typename Keep> QString filtered(QStringView text, const Keep &keep) {
    QString out;
    out.reserve(text.size());
    const auto chars = text.toUcs4();
    for (qsizetype i = 0; i < chars.size(); ++i) {
        const char32_t c = chars[i];
        if (c == '\r') {
            // CRLF is one line break.
            if (i + 1 < chars.size() && chars[i + 1] == '\n')
                continue;
            keep(out, U'\n');
            continue;
        }
        keep(out, c);
    }
    return out;
}

void append(QString &out, char32_t c) {
    out.append(QString::fromUcs4(&c, 1));
}

} // namespace

bool ControlText::containsControl(QStringView text) {
    for (const char32_t c : text.toUcs4())
        if (isControl(c))
            return true;
    return false;
}

QString ControlText::escaped(QStringView text) {
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        switch (c) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (c < 0x80 && isControl(c))
                out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
            else if (isControl(c))
                out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
            else
                append(out, c);
        }
    }
    return out;
}

QString ControlText::singleLine(QStringView text) {
    return filtered(text, [](QString &out, char32_t c) {
        if (c == '\n')
            out += QLatin1Char(' ');
        else if (!isControl(c))
            append(out, c);
    });
}

QString ControlText::withoutControls(QStringView text) {
    return filtered(text, [](QString &out, char32_t c) {
        if (c == '\n' || c == '\t' || !isControl(c))
            append(out, c);
    });
}

} // namespace quillet
