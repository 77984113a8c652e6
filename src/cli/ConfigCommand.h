#pragma once

#include <QStringList>

namespace quillet::cli {

// `quillet config get|set|unset KEY [VALUE]` over the settings, typed per key.
class ConfigCommand {
public:
    static int run(const QStringList &args);
};

} // namespace quillet::cli
