#pragma once

#include <QString>

namespace quillet {

class QrCode;

// A QR symbol as text: Unicode half blocks put two rows of modules in one line, so the symbol
// keeps its square shape in a terminal.
class TerminalQr {
public:
    // With `colors`, dark and light are set explicitly (black on white), so that the symbol
    // scans on dark and light terminal themes alike; without, dark modules are drawn as blocks.
    static QString render(const QrCode &code, bool colors);
};

} // namespace quillet
