#pragma once

#include <QString>

namespace quillet::test {

class RelayProcess;

// An account on a running relay made as a user makes one: `quillet register` (which stores the
// agent key in the isolated settings), then a phone paired with a code. Empty members when a step
// failed.
struct RelayAccount {
    QString agentKey;
    QString phoneToken;

    static RelayAccount create(const RelayProcess &relay);
};

} // namespace quillet::test
