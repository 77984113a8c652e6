#pragma once

#include "server/Asio.h"
#include "server/Caller.h"
#include "server/HttpRequest.h"
#include "server/HttpResponse.h"

#include <QStringList>

namespace quillet {

class Router;
struct ServerContext;

// The account side: passkey registration and sign-in, token refresh, agent API keys, pairing
// codes and the paired devices, and the health check. Answers what the desktop client decodes.
class AccountApi {
public:
    explicit AccountApi(ServerContext &context) : m_context(context) {}
    void addRoutes(Router &router);

    // Lifetimes of what a sign-in hands out.
    static constexpr qint64 accessTokenSeconds = 15 * 60;
    static constexpr qint64 refreshTokenSeconds = 30 * 24 * 3600;
    static constexpr qint64 challengeSeconds = 5 * 60;
    static constexpr qint64 pairingCodeSeconds = 5 * 60;

    // Six characters from an alphabet without look-alikes (no 0/O, 1/I/L).
    static QString newPairingCode();

private:
    using Params = QStringList;
    asio::awaitable<HttpResponse> health(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> registerOptions(const HttpRequest &, const Caller &,
                                                  const Params &);
    asio::awaitable<HttpResponse> registerComplete(const HttpRequest &, const Caller &,
                                                   const Params &);
    asio::awaitable<HttpResponse> authenticateOptions(const HttpRequest &, const Caller &,
                                                      const Params &);
    asio::awaitable<HttpResponse> authenticateComplete(const HttpRequest &, const Caller &,
                                                       const Params &);
    asio::awaitable<HttpResponse> refresh(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> createApiKey(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> listApiKeys(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> deleteApiKey(const HttpRequest &, const Caller &, const Params &);
    asio::awaitable<HttpResponse> initiatePairing(const HttpRequest &, const Caller &,
                                                  const Params &);
    asio::awaitable<HttpResponse> pairedDevices(const HttpRequest &, const Caller &,
                                                const Params &);
    asio::awaitable<HttpResponse> deletePairedDevice(const HttpRequest &, const Caller &,
                                                     const Params &);
    // New access and refresh tokens for `userId`, as the sign-in answer.
    asio::awaitable<HttpResponse> signedIn(QString userId);

    ServerContext &m_context;
};

} // namespace quillet
