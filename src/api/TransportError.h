#pragma once

#include <QString>
#include <stdexcept>

namespace quillet {

// The HTTP layer could not deliver the request or its answer (refused, timed out, TLS).
class TransportError : public std::runtime_error {
public:
    explicit TransportError(const QString &message) : std::runtime_error(message.toStdString()) {}
};

} // namespace quillet
