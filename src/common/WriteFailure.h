#pragma once

#include <QString>

namespace quillet {

// Why a file could not be written, in words a user can act on: the file or its folder is
// read-only or immutable, or the path is a link to a place that does not exist.
class WriteFailure {
public:
    // `systemError` is what the failed write said; it is used when nothing plainer is found.
    static QString describe(const QString &path, const QString &systemError = {});
};

} // namespace quillet
