#pragma once

#include <QStringList>

namespace quillet::cli {

// The account from the command line: `quillet register`, `quillet login`, `quillet logout`.
class AccountCommand {
public:
    static int registerAccount(const QStringList &args);
    static int login(const QStringList &args);
    static int logout(const QStringList &args);
};

} // namespace quillet::cli
