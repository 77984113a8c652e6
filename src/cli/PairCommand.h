#pragma once

#include <QStringList>

namespace quillet::cli {

// `quillet pair`: the pairing code as a QR symbol and as text, renewed as it expires, until a
// new phone shows up among the paired devices (exit 0) or the server refuses (exit 1).
class PairCommand {
public:
    static int run(const QStringList &args);
    // Shows codes until a new phone pairs (0) or the server refuses (1, the reason printed).
    static int showCodesUntilPaired();
};

} // namespace quillet::cli
