#pragma once

#include "server/EventHub.h"
#include "server/PasskeyVerifier.h"
#include "server/RateLimiter.h"
#include "server/ServerOptions.h"
#include "server/Store.h"

#include <QHash>

namespace quillet {

class PushSender;

// What every handler works with; owned by RelayServer, used on the network's thread.
struct ServerContext {
    ServerContext(const ServerOptions &options, Store &store, EventHub &hub)
        : options(options), store(store), hub(hub),
          verifier(PasskeyPolicy{options.rpId, options.origins}) {}

    const ServerOptions &options;
    Store &store;
    EventHub &hub;
    PasskeyVerifier verifier;
    // Pages the user's phones; set by RelayServer before the first request.
    PushSender *push = nullptr;
    // Wrong pairing codes, by address and over all addresses.
    RateLimiter pairingFailuresByAddress{store, QStringLiteral("pair-address"), 10,
                                         std::chrono::minutes(5)};
    RateLimiter pairingFailuresOverall{store, QStringLiteral("pair-all"), 200,
                                       std::chrono::minutes(5)};
    // Pairing codes issued, by account.
    RateLimiter pairingCodesByUser{store, QStringLiteral("pair-codes"), 20,
                                   std::chrono::minutes(10)};
    // Open event streams, by device.
    QHash<QString, int> openStreams;
    static constexpr int maxStreamsPerDevice = 4;

    // What the store keeps of a token.
    static QString tokenHash(const QString &token);
};

} // namespace quillet
