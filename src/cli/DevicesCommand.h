#pragma once

#include <QStringList>

namespace quillet::cli {

// `quillet devices [--json]` and `quillet devices remove ID [--yes]`: the paired phones.
class DevicesCommand {
public:
    static int run(const QStringList &args);

private:
    static int list(const QStringList &args);
    static int remove(const QStringList &args);
};

} // namespace quillet::cli
