#pragma once

#include "server/Asio.h"
#include "server/Caller.h"
#include "server/HttpRequest.h"
#include "server/HttpResponse.h"

#include <QJsonArray>
#include <QStringList>

namespace quillet {

class Router;
struct ServerContext;

// The computer's side, authenticated with an agent API key: sessions, screens, questions and
// their replies (held up to 25 s on request), inputs, remote commands and the project list, and
// one held request that answers as soon as a reply, an input or a command is there for the agent.
class AgentApi {
public:
    explicit AgentApi(ServerContext &context) : m_context(context) {}
    void addRoutes(Router &router);

    // The longest a reply or events request is held open.
    static constexpr int maxReplyWaitSeconds = 25;
    // What the health answer offers beyond the base protocol: "agent-events" unless
    // QUILLET_SERVER_AGENT_EVENTS=0 (for a proxy that cuts held requests short).
    static QJsonArray features();

private:
    using Params = QStringList;
    asio::awaitable<HttpResponse> createSession(const HttpRequest &, const Caller &,
                                                const Params &);
    asio::awaitable<HttpResponse> updateSession(const HttpRequest &, const Caller &,
                                                const Params &);
    asio::awaitable<HttpResponse> stream(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> postQuestion(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> updateQuestion(const HttpRequest &, const Caller &,
                                                 const Params &);
    asio::awaitable<HttpResponse> reply(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> inputs(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> updateInput(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> pendingCommands(const HttpRequest &, const Caller &,
                                                  const Params &);
    asio::awaitable<HttpResponse> updateCommand(const HttpRequest &, const Caller &,
                                                const Params &);
    asio::awaitable<HttpResponse> uploadProjects(const HttpRequest &, const Caller &,
                                                 const Params &);
    asio::awaitable<HttpResponse> events(const HttpRequest &, const Caller &, const Params &);

    ServerContext &m_context;
};

} // namespace quillet
