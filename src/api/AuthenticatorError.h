#pragma once

#include <QString>
#include <stdexcept>

namespace quillet {

// The authenticator could not produce a credential; what() is the text for the user.
class AuthenticatorError : public std::runtime_error {
public:
    explicit AuthenticatorError(const QString &message)
        : std::runtime_error(message.toStdString()) {}
};

} // namespace quillet
