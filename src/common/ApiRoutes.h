#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace quillet {

// The server's endpoints, named once for both sides: the relay routes them, the clients send to
// them. In a pattern, "%1" and "%2" stand for ids, each filling exactly one path segment.
class ApiRoutes {
public:
    // Everyone
    static constexpr const char *health = "/api/health";
    // The account side (passkeys, tokens, keys, pairing, devices)
    static constexpr const char *registerOptions = "/api/auth/passkey/register/options";
    static constexpr const char *registerComplete = "/api/auth/passkey/register/complete";
    static constexpr const char *authenticateOptions = "/api/auth/passkey/authenticate/options";
    static constexpr const char *authenticateComplete = "/api/auth/passkey/authenticate/complete";
    static constexpr const char *refresh = "/api/auth/refresh";
    static constexpr const char *apiKeys = "/api/auth/api-keys";
    static constexpr const char *apiKey = "/api/auth/api-keys/%1";
    static constexpr const char *pairInitiate = "/api/pair/initiate";
    static constexpr const char *pairedDevices = "/api/paired-devices";
    static constexpr const char *pairedDevice = "/api/paired-devices/%1";
    // The agent side
    static constexpr const char *sessions = "/api/sessions";
    static constexpr const char *session = "/api/sessions/%1";
    static constexpr const char *sessionStream = "/api/sessions/%1/stream";
    static constexpr const char *sessionQuestions = "/api/sessions/%1/questions";
    static constexpr const char *sessionQuestion = "/api/sessions/%1/questions/%2";
    static constexpr const char *questionReply = "/api/sessions/%1/questions/%2/reply";
    static constexpr const char *sessionInputs = "/api/sessions/%1/inputs";
    static constexpr const char *sessionInput = "/api/sessions/%1/inputs/%2";
    static constexpr const char *pendingCommands = "/api/commands/pending";
    static constexpr const char *command = "/api/commands/%1";
    static constexpr const char *projects = "/api/projects";
    static constexpr const char *agentEvents = "/api/agent/events";
    // The phone side (also GET on sessions, session, sessionInputs, projects and command)
    static constexpr const char *pairComplete = "/api/pair/complete";
    static constexpr const char *questions = "/api/questions";
    static constexpr const char *answer = "/api/questions/%1/reply";
    static constexpr const char *commands = "/api/commands";
    static constexpr const char *events = "/api/events";
    static constexpr const char *thisDevice = "/api/devices/me";
    static constexpr const char *pushPublicKey = "/api/push/vapid-public-key";
    static constexpr const char *pushSubscriptions = "/api/push/subscriptions";

    // An id as one percent-encoded path segment, so "/", "?" or "#" cannot reach another
    // endpoint. Empty and dot-segment ids are refused: URLs decode "%2E" back to "." and then
    // drop dot segments, so such ids cannot be sent safely (and the relay routes none).
    static std::optional<QString> segment(const QString &id);
    // `pattern` with each "%n" replaced by the segment of the matching id; nothing when one is
    // refused.
    static std::optional<QString> path(const char *pattern, const QStringList &ids = {});
};

} // namespace quillet
