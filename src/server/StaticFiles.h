#pragma once

#include "server/HttpRequest.h"
#include "server/HttpResponse.h"

#include <cstddef>
#include <span>

namespace quillet {

// The phone app's files, built from web/ and compiled into the binary: no folder to install, no
// CDN. Answers every request outside /api/.
class StaticFiles {
public:
    struct File {
        const char *path;
        const unsigned char *data;
        std::size_t size;
    };

    // Defined by the source that web/build.mjs generates.
    static std::span<const File> embedded();

    explicit StaticFiles(std::span<const File> files = embedded()) : m_files(files) {}

    HttpResponse serve(const HttpRequest &request) const;

private:
    std::span<const File> m_files;
};

} // namespace quillet
