#include "server/Router.h"

#include "server/Database.h"
#include "server/Metrics.h"
#include "server/Secrets.h"
#include "server/Store.h"

#include <QLoggingCategory>
#include <QUrl>

Q_LOGGING_CATEGORY(lcRouter, "lorvo.fennick.quillet-server.Router")

namespace quillet {

namespace {

bool matches(const QStringList &pattern, const QStringList &path, QStringList &params) {
    if (pattern.size() != path.size())
        return false;
    QStringList found;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == QLatin1String("{}"))
            found << path[i];
        else if (pattern[i] != path[i])
            return false;
    }
    params = found;
    return true;
}

} // namespace

void Router::add(const char *method, const char *pattern, CredentialKind credential,
                 Handler handler) {
    QStringList segments = QString::fromLatin1(pattern).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (QString &segment : segments)
        if (segment.startsWith(QLatin1Char('%')))
            segment = QStringLiteral("{}");
    m_routes.append({QByteArray(method), segments, credential, std::move(handler)});
}

std::optional<QStringList> Router::segments(const QString &path) {
    if (!path.startsWith(QLatin1Char('/')))
        return std::nullopt;
    QStringList out;
    const QStringList raw = path.mid(1).split(QLatin1Char('/'));
    for (const QString &segment : raw) {
        const QString decoded = QUrl::fromPercentEncoding(segment.toUtf8());
        if (decoded.isEmpty() || decoded == QLatin1String(".") || decoded == QLatin1String(".."))
            return std::nullopt;
        out << decoded;
    }
    return out;
}

asio::awaitable<HttpResponse> Router::handle(const HttpRequest &request) {
    if (m_pages && request.path != QLatin1String("/api") &&
        !request.path.startsWith(QLatin1String("/api/")))
        co_return m_pages(request);
    QString routeName;
    HttpResponse response = co_await dispatch(request, routeName);
    if (m_metrics)
        m_metrics->countRequest(request.method, routeName, response.status);
    co_return response;
}

asio::awaitable<HttpResponse> Router::dispatch(const HttpRequest &request, QString &routeName) {
    // Unmatched paths count under one name: they are whatever a scanner tries.
    routeName = QStringLiteral("unmatched");
    const std::optional<QStringList> path = segments(request.path);
    if (!path)
        co_return HttpResponse::error(404, QStringLiteral("No such route."));

    const Route *route = nullptr;
    QStringList params;
    QByteArrayList allowed;
    // Exact segments win over "{}" ones: GET /api/commands/pending is not a command id.
    for (int pass = 0; pass < 2 && !route; ++pass) {
        for (const Route &candidate : m_routes) {
            const bool literal = !candidate.pattern.contains(QStringLiteral("{}"));
            if ((pass == 0) != literal)
                continue;
            QStringList found;
            if (!matches(candidate.pattern, *path, found))
                continue;
            if (candidate.method == request.method) {
                route = &candidate;
                params = found;
                break;
            }
            allowed << candidate.method;
        }
    }
    if (!route) {
        if (allowed.isEmpty())
            co_return HttpResponse::error(404, QStringLiteral("No such route."));
        HttpResponse response = HttpResponse::error(405, QStringLiteral("Method not allowed."));
        response.headers.append({QByteArrayLiteral("Allow"), allowed.join(", ")});
        co_return response;
    }

    routeName = QLatin1Char('/') + route->pattern.join(QLatin1Char('/'));
    Caller caller;
    if (route->credential != CredentialKind::none) {
        const QString token = request.bearerToken();
        if (token.isEmpty() || token.size() > 512)
            co_return HttpResponse::error(401, QStringLiteral("A bearer credential is needed."));
        const QString hash = QString::fromLatin1(Secrets::hashToken(token).toHex());
        const CredentialKind kind = route->credential;
        const auto lookup = [kind, hash](Database &database) {
            return database.authenticate(kind, hash);
        };
        const std::optional<Caller> found = co_await m_store.run<std::optional<Caller>>(lookup);
        if (!found)
            co_return HttpResponse::error(401, QStringLiteral("The credential is not valid here."));
        caller = *found;
    }
    try {
        co_return co_await route->handler(request, caller, params);
    } catch (const std::exception &error) {
        // The message names the failing statement, never a body or a token.
        qCCritical(lcRouter, "%s %s failed: %s", request.method.constData(),
                   qUtf8Printable(route->pattern.join(QLatin1Char('/'))), error.what());
    }
    co_return HttpResponse::error(500, QStringLiteral("The server failed; try again."));
}

} // namespace quillet
