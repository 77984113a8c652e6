#pragma once

#include <QString>
#include <stdexcept>

namespace quillet {

// An answer that is not the JSON the caller expects: unparsable, of the wrong shape, or with a
// member missing or of the wrong type.
class DecodingError : public std::runtime_error {
public:
    explicit DecodingError(const QString &detail)
        : std::runtime_error(QStringLiteral("The server's answer could not be read: %1")
                                 .arg(detail)
                                 .toStdString()) {}
};

} // namespace quillet
