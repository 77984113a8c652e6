#pragma once

#include "server/Asio.h"
#include "server/Caller.h"
#include "server/HttpRequest.h"
#include "server/HttpResponse.h"

#include <QStringList>

namespace quillet {

class Router;
struct ServerContext;

// The phone's side, authenticated with the device token that pairing handed out: sessions and
// their screens, questions and answers, text and keys for a pane, projects, launch and stop,
// and the live event stream.
class PhoneApi {
public:
    explicit PhoneApi(ServerContext &context) : m_context(context) {}
    void addRoutes(Router &router);

private:
    using Params = QStringList;
    asio::awaitable<HttpResponse> completePairing(const HttpRequest &, const Caller &,
                                                  const Params &);
    asio::awaitable<HttpResponse> sessions(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> session(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> questions(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> answer(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> addInput(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> projects(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> createCommand(const HttpRequest &, const Caller &,
                                                const Params &);
    asio::awaitable<HttpResponse> command(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> events(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> unpair(const HttpRequest &, const Caller &, const Params &);

    ServerContext &m_context;
};

} // namespace quillet
