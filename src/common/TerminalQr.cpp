#include "common/TerminalQr.h"

#include "common/QrCode.h"

namespace quillet {

namespace {

// Scanners need a light margin around the symbol; four modules is the standard's.
constexpr int quietZone = 4;

} // namespace

QString TerminalQr::render(const QrCode &code, bool colors) {
    const int size = code.size() + 2 * quietZone;
    auto dark = [&code](int x, int y) { return code.isDark(x - quietZone, y - quietZone); };
    QString text;
    for (int y = 0; y < size; y += 2) {
        if (colors)
            text += QStringLiteral("\x1b[30;47m");
        for (int x = 0; x < size; ++x) {
            const bool top = dark(x, y);
            const bool bottom = y + 1 < size && dark(x, y + 1);
            if (top && bottom)
                text += QChar(0x2588); // full block
            else if (top)
                text += QChar(0x2580); // upper half
            else if (bottom)
                text += QChar(0x2584); // lower half
            else
                text += QLatin1Char(' ');
        }
        if (colors)
            text += QStringLiteral("\x1b[0m");
        text += QLatin1Char('\n');
    }
    return text;
}

} // namespace quillet
