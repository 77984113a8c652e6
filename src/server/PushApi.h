#pragma once

#include "server/Asio.h"
#include "server/Caller.h"
#include "server/HttpRequest.h"
#include "server/HttpResponse.h"

#include <QStringList>

namespace quillet {

class Router;
struct ServerContext;

// Web Push for the phone: the key its browser subscribes with, and the subscription it hands
// back (stored per device, so unpairing drops it).
class PushApi {
public:
    explicit PushApi(ServerContext &context) : m_context(context) {}
    void addRoutes(Router &router);

private:
    using Params = QStringList;
    asio::awaitable<HttpResponse> publicKey(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> subscribe(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> unsubscribe(const HttpRequest &, const Caller &, const Params &);

    ServerContext &m_context;
};

} // namespace quillet
