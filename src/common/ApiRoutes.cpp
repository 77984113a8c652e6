#include "common/ApiRoutes.h"

#include <QUrl>

namespace quillet {

std::optional<QString> ApiRoutes::segment(const QString &id) {
    if (id.isEmpty() || id == QLatin1String(".") || id == QLatin1String(".."))
        return std::nullopt;
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

std::optional<QString> ApiRoutes::path(const char *pattern, const QStringList &ids) {
    QStringList segments;
    for (const QString &id : ids) {
        const std::optional<QString> encoded = segment(id);
        if (!encoded)
            return std::nullopt;
        segments << *encoded;
    }
    const QString text = QString::fromLatin1(pattern);
    // All at once: a segment holding "%25" must not be read as a place marker.
    switch (segments.size()) {
    case 0:
        return text;
    case 1:
        return text.arg(segments[0]);
    default:
        return text.arg(segments[0], segments[1]);
    }
}

} // namespace quillet
