#pragma once

#include "server/Asio.h"
#include "server/Caller.h"
#include "server/HttpRequest.h"
#include "server/HttpResponse.h"

#include <QList>
#include <QStringList>
#include <functional>

namespace quillet {

class Metrics;
class Store;

// Maps a method and path to its handler, after checking the credential that route takes. A
// token of another kind is unknown to the route's table, so it fails like a wrong one (401).
class Router {
public:
    using Handler = std::function<asio::awaitable<HttpResponse>(
        const HttpRequest &request, const Caller &caller, const QStringList &params)>;

    explicit Router(Store &store) : m_store(store) {}

    // `pattern` is one of ApiRoutes: its "%1" and "%2" segments match one id each.
    void add(const char *method, const char *pattern, CredentialKind credential, Handler handler);

    asio::awaitable<HttpResponse> handle(const HttpRequest &request);
    // Counts every answer by route and status from now on.
    void countInto(Metrics *metrics) { m_metrics = metrics; }

    // Answers every path outside /api/ (the phone app's files).
    void setPageHandler(std::function<HttpResponse(const HttpRequest &)> handler) {
        m_pages = std::move(handler);
    }

    // A member function of a handler object as a Handler.
    template <typename Api, typename Method> static Handler bind(Api *api, Method method) {
        return [api, method](const HttpRequest &request, const Caller &caller,
                             const QStringList &params) {
            return (api->*method)(request, caller, params);
        };
    }

    // The path's segments, percent-decoded; nothing for a path with an empty or dot segment.
    static std::optional<QStringList> segments(const QString &path);

    struct Route {
        QByteArray method;
        QStringList pattern;
        CredentialKind credential;
        Handler handler;
    };
    const QList<Route> &routes() const { return m_routes; }

private:
    asio::awaitable<HttpResponse> dispatch(const HttpRequest &request, QString &routeName);

    Store &m_store;
    Metrics *m_metrics = nullptr;
    QList<Route> m_routes;
    std::function<HttpResponse(const HttpRequest &)> m_pages;
};

} // namespace quillet
