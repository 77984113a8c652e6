#include "server/StaticFiles.h"

#include <cstring>

namespace quillet {

namespace {

// The page runs nothing it did not load from here: no inline script or style, no other origin.
constexpr const char *contentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
    "connect-src 'self'; worker-src 'self'; manifest-src 'self'; media-src 'self' blob:; "
    "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

QByteArray contentType(const QString &path) {
    static const struct {
        const char *suffix;
        const char *type;
    } types[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".webmanifest", "application/manifest+json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
    };
    for (const auto &type : types)
        if (path.endsWith(QLatin1String(type.suffix)))
            return type.type;
    return "application/octet-stream";
}

} // namespace

HttpResponse StaticFiles::serve(const HttpRequest &request) const {

    // The app routes by the URL's fragment, so "/" is its only page.
    const QString path =
        request.path == QLatin1String("/") ? QStringLiteral("/index.html") : request.path;
    const File *found = nullptr;
    for (const File &file : m_files)
        if (path == QLatin1String(file.path))
            found = &file;
    if (!found)
        return HttpResponse::error(404, QStringLiteral("No such page."));
    if (request.method != "GET") {
        HttpResponse response = HttpResponse::error(405, QStringLiteral("Method not allowed."));
        response.headers.append({QByteArrayLiteral("Allow"), QByteArrayLiteral("GET")});
        return response;
    }

    HttpResponse response;
    response.contentType = contentType(path);
    response.body = QByteArray::fromRawData(reinterpret_cast<const char *>(found->data),
                                            qsizetype(found->size));
    // Hashed names change with their content; everything else is checked on every load, so a
    // new server version reaches the phone at once.
    const bool hashed = path.startsWith(QLatin1String("/assets/"));
    response.headers.append({QByteArrayLiteral("Cache-Control"),
                             hashed ? QByteArrayLiteral("public, max-age=31536000, immutable")
                                    : QByteArrayLiteral("no-cache")});
    response.headers.append(
        {QByteArrayLiteral("Content-Security-Policy"), QByteArray(contentSecurityPolicy)});
    response.headers.append(
        {QByteArrayLiteral("Referrer-Policy"), QByteArrayLiteral("no-referrer")});
    if (path == QLatin1String("/sw.js"))
        response.headers.append(
            {QByteArrayLiteral("Service-Worker-Allowed"), QByteArrayLiteral("/")});
    return response;
}

} // namespace quillet
