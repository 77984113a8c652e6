#include "server/AccountApi.h"

#include "common/ApiRoutes.h"
#include "common/Base64Url.h"
#include "common/ControlText.h"
#include "server/AgentApi.h"
#include "server/Database.h"
#include "server/JsonFields.h"
#include "server/Router.h"
#include "server/Secrets.h"
#include "server/ServerContext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcAccount, "lorvo.fennick.quillet-server.Account")

namespace quillet {

namespace {

constexpr int maxUsernameLength = 64;
constexpr int maxLabelLength = 200;
// Base64url of a credential's parts: attestation objects with certificates run to a few KB.
constexpr int maxCredentialPart = 64 * 1024;

// The "challenge" member of a client data JSON, as the text it carries.
std::optional<QString> challengeOf(const QByteArray &clientDataJson) {
    const QJsonDocument document = QJsonDocument::fromJson(clientDataJson);
    const QJsonValue challenge = document.object().value(QStringLiteral("challenge"));
    if (!challenge.isString())
        return std::nullopt;
    // Canonical form: the same bytes always give the same text.
    const auto bytes = Base64Url::decode(challenge.toString());
    if (!bytes || bytes->isEmpty())
        return std::nullopt;
    return Base64Url::encode(*bytes);
}

std::optional<QByteArray> bytesMember(JsonFields &fields, const char *key) {
    const QString text = fields.text(key, maxCredentialPart);
    if (!fields.ok())
        return std::nullopt;
    const auto bytes = Base64Url::decode(text);
    if (!bytes)
        fields.fail(QStringLiteral("\"%1\" is not base64url.").arg(QLatin1String(key)));
    return bytes;
}

} // namespace

QString AccountApi::newPairingCode() {
    static const char alphabet[] = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";
    constexpr int letters = int(sizeof alphabet) - 1;
    QString code;
    while (code.size() < 6) {
        // Rejection sampling keeps every character equally likely.
        const auto byte = quint8(Secrets::randomBytes(1).at(0));
        if (byte < 256 - 256 % letters)
            code += QLatin1Char(alphabet[byte % letters]);
    }
    return code;
}

void AccountApi::addRoutes(Router &router) {
    const auto none = CredentialKind::none;
    const auto user = CredentialKind::accessToken;
    router.add("GET", ApiRoutes::health, none, Router::bind(this, &AccountApi::health));
    router.add("POST", ApiRoutes::registerOptions, none,
               Router::bind(this, &AccountApi::registerOptions));
    router.add("POST", ApiRoutes::registerComplete, none,
               Router::bind(this, &AccountApi::registerComplete));
    router.add("POST", ApiRoutes::authenticateOptions, none,
               Router::bind(this, &AccountApi::authenticateOptions));
    router.add("POST", ApiRoutes::authenticateComplete, none,
               Router::bind(this, &AccountApi::authenticateComplete));
    router.add("POST", ApiRoutes::refresh, none, Router::bind(this, &AccountApi::refresh));
    router.add("POST", ApiRoutes::apiKeys, user, Router::bind(this, &AccountApi::createApiKey));
    router.add("GET", ApiRoutes::apiKeys, user, Router::bind(this, &AccountApi::listApiKeys));
    router.add("DELETE", ApiRoutes::apiKey, user, Router::bind(this, &AccountApi::deleteApiKey));
    router.add("POST", ApiRoutes::pairInitiate, user,
               Router::bind(this, &AccountApi::initiatePairing));
    router.add("GET", ApiRoutes::pairedDevices, user,
               Router::bind(this, &AccountApi::pairedDevices));
    router.add("DELETE", ApiRoutes::pairedDevice, user,
               Router::bind(this, &AccountApi::deletePairedDevice));
}

asio::awaitable<HttpResponse> AccountApi::health(const HttpRequest &, const Caller &,
                                                 const Params &) {
    co_return HttpResponse::json(
        200, QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")},
                         {QStringLiteral("version"), QStringLiteral(QUILLET_VERSION)},
                         {QStringLiteral("features"), AgentApi::features()}});
}

asio::awaitable<HttpResponse> AccountApi::registerOptions(const HttpRequest &request,
                                                          const Caller &, const Params &) {
    JsonFields fields(request);
    const QString username = fields.text("username", maxUsernameLength);
    if (!fields.ok())
        co_return fields.badRequest();
    const bool open = m_context.options.openRegistration;
    const auto check = [username, open](Database &database) {
        if (!open && database.userCount() > 0)
            return 403;
        return database.usernameTaken(username) ? 409 : 0;
    };
    const int refusal = co_await m_context.store.run<int>(check);
    if (refusal == 403)
        co_return HttpResponse::error(
            403, QStringLiteral("Registration is closed on this server: it already has an "
                                "account. Start it with --open-registration to add another."));
    if (refusal == 409)
        co_return HttpResponse::error(409, QStringLiteral("That user name is taken."));

    const QString challenge = Base64Url::encode(Secrets::randomBytes(32));
    const QString userHandle = Base64Url::encode(Secrets::randomBytes(16));
    const auto keep = [challenge, username, userHandle](Database &database) {
        database.putChallenge(challenge, QStringLiteral("register"), username, userHandle,
                              challengeSeconds);
        return true;
    };
    co_await m_context.store.run<bool>(keep);

    const QJsonObject options{
        {QStringLiteral("challenge"), challenge},
        {QStringLiteral("rp"), QJsonObject{{QStringLiteral("id"), m_context.options.rpId},
                                           {QStringLiteral("name"), QStringLiteral("Quillet")}}},
        {QStringLiteral("user"), QJsonObject{{QStringLiteral("id"), userHandle},
                                             {QStringLiteral("name"), username},
                                             {QStringLiteral("displayName"), username}}},
        {QStringLiteral("pubKeyCredParams"),
         QJsonArray{QJsonObject{{QStringLiteral("type"), QStringLiteral("public-key")},
                                {QStringLiteral("alg"), -7}}}},
        {QStringLiteral("timeout"), challengeSeconds * 1000},
        {QStringLiteral("attestation"), QStringLiteral("none")},
        {QStringLiteral("authenticatorSelection"),
         QJsonObject{{QStringLiteral("residentKey"), QStringLiteral("required")},
                     {QStringLiteral("userVerification"), QStringLiteral("preferred")}}},
    };
    co_return HttpResponse::json(200, options);
}

asio::awaitable<HttpResponse> AccountApi::registerComplete(const HttpRequest &request,
                                                           const Caller &, const Params &) {
    JsonFields body(request);
    JsonFields credential(body.object("credential"));
    if (!body.ok())
        co_return body.badRequest();
    JsonFields response(credential.object("response"));
    if (!credential.ok())
        co_return credential.badRequest();
    const auto clientData = bytesMember(response, "clientDataJSON");
    const auto attestation = bytesMember(response, "attestationObject");
    if (!response.ok())
        co_return response.badRequest();
    const std::optional<QString> challenge = challengeOf(*clientData);
    if (!challenge)
        co_return HttpResponse::error(400, QStringLiteral("The client data has no challenge."));

    const QString challengeText = *challenge;
    const auto take = [challengeText](Database &database) {
        return database.takeChallenge(challengeText, QStringLiteral("register"));
    };
    const auto pending = co_await m_context.store.run<std::optional<Database::Challenge>>(take);
    if (!pending)
        co_return HttpResponse::error(
            400, QStringLiteral("The challenge is unknown, used or expired; start again."));

    const PasskeyVerifier::Registration registration = m_context.verifier.verifyRegistration(
        *clientData, *attestation, *Base64Url::decode(challengeText));
    if (!registration.error.isEmpty()) {
        qCInfo(lcAccount, "passkey registration refused: %s", qUtf8Printable(registration.error));
        co_return HttpResponse::error(
            400, QStringLiteral("The passkey was refused: %1").arg(registration.error));
    }

    const QString username = pending->username;
    const QString userHandle = pending->userHandle;
    const QString credentialId = Base64Url::encode(registration.credentialId);
    const QString publicKey = Base64Url::encode(registration.publicKey);
    const quint32 signCount = registration.signCount;
    const bool open = m_context.options.openRegistration;
    const auto create = [=](Database &database) {
        return database.createUser(username, userHandle, credentialId, publicKey, signCount, open);
    };
    const StoreReply created = co_await m_context.store.run<StoreReply>(create);
    if (created.outcome == StoreReply::Outcome::refused)
        co_return HttpResponse::error(403, created.reason);
    if (!created.ok())
        co_return HttpResponse::error(409, created.reason);
    qCInfo(lcAccount, "account created: %s", qUtf8Printable(ControlText::escaped(username)));
    co_return co_await signedIn(created.value.toString());
}

asio::awaitable<HttpResponse> AccountApi::authenticateOptions(const HttpRequest &, const Caller &,
                                                              const Params &) {
    const QString challenge = Base64Url::encode(Secrets::randomBytes(32));
    const auto keep = [challenge](Database &database) {
        database.putChallenge(challenge, QStringLiteral("authenticate"), QString(), QString(),
                              challengeSeconds);
        return true;
    };
    co_await m_context.store.run<bool>(keep);
    co_return HttpResponse::json(
        200, QJsonObject{{QStringLiteral("challenge"), challenge},
                         {QStringLiteral("rpId"), m_context.options.rpId},
                         {QStringLiteral("timeout"), challengeSeconds * 1000},
                         {QStringLiteral("userVerification"), QStringLiteral("preferred")},
                         {QStringLiteral("allowCredentials"), QJsonArray()}});
}

asio::awaitable<HttpResponse> AccountApi::authenticateComplete(const HttpRequest &request,
                                                               const Caller &, const Params &) {
    JsonFields body(request);
    JsonFields credential(body.object("credential"));
    if (!body.ok())
        co_return body.badRequest();
    const auto rawId = bytesMember(credential, "id");
    JsonFields response(credential.object("response"));
    if (!credential.ok())
        co_return credential.badRequest();
    const auto clientData = bytesMember(response, "clientDataJSON");
    const auto authenticatorData = bytesMember(response, "authenticatorData");
    const auto signature = bytesMember(response, "signature");
    const std::optional<QString> userHandle = response.optionalText("userHandle", 1024);
    if (!response.ok())
        co_return response.badRequest();
    const std::optional<QString> challenge = challengeOf(*clientData);
    if (!challenge)
        co_return HttpResponse::error(400, QStringLiteral("The client data has no challenge."));

    const HttpResponse refused =
        HttpResponse::error(401, QStringLiteral("The passkey was not accepted."));
    const QString challengeText = *challenge;
    const QString credentialId = Base64Url::encode(*rawId);
    struct Found {
        std::optional<Database::Challenge> challenge;
        std::optional<Database::Passkey> passkey;
        QString userHandle;
    };
    // The challenge is spent whether or not the rest holds: a failed attempt cannot be replayed.
    const auto lookup = [challengeText, credentialId](Database &database) {
        Found found{database.takeChallenge(challengeText, QStringLiteral("authenticate")),
                    database.passkey(credentialId),
                    {}};
        if (found.passkey)
            found.userHandle = database.userHandleOf(found.passkey->userId);
        return found;
    };
    const Found found = co_await m_context.store.run<Found>(lookup);
    if (!found.challenge || !found.passkey)
        co_return refused;
    if (userHandle && !userHandle->isEmpty()) {
        const auto given = Base64Url::decode(*userHandle);
        if (!given || Base64Url::encode(*given) != found.userHandle)
            co_return refused;
    }

    const Database::Passkey passkey = *found.passkey;
    const PasskeyVerifier::Assertion assertion = m_context.verifier.verifyAssertion(
        *clientData, *authenticatorData, *signature, *Base64Url::decode(challengeText),
        *Base64Url::decode(passkey.publicKey), passkey.signCount);
    if (!assertion.error.isEmpty()) {
        qCInfo(lcAccount, "passkey sign-in refused: %s", qUtf8Printable(assertion.error));
        co_return refused;
    }
    // A counter that does not rise means a copy of the key signed in somewhere else.
    const quint32 from = passkey.signCount;
    const quint32 to = assertion.signCount;
    if ((from != 0 || to != 0) && to <= from) {
        qCWarning(lcAccount, "passkey sign-in refused: the sign count did not rise");
        co_return refused;
    }
    if (to != from) {
        const auto advance = [credentialId, from, to](Database &database) {
            return database.advanceSignCount(credentialId, from, to);
        };
        if (!co_await m_context.store.run<bool>(advance))
            co_return refused;
    }
    co_return co_await signedIn(passkey.userId);
}

asio::awaitable<HttpResponse> AccountApi::signedIn(QString userId) {
    const QString access = Secrets::newToken();
    const QString refresh = Secrets::newToken();
    const Database::TokenPair pair{ServerContext::tokenHash(access),
                                   ServerContext::tokenHash(refresh), accessTokenSeconds,
                                   refreshTokenSeconds};
    const auto issue = [userId, pair](Database &database) {
        database.issueTokens(userId, pair);
        return true;
    };
    co_await m_context.store.run<bool>(issue);
    co_return HttpResponse::json(200,
                                 QJsonObject{{QStringLiteral("access_token"), access},
                                             {QStringLiteral("refresh_token"), refresh},
                                             {QStringLiteral("user_id"), userId},
                                             {QStringLiteral("expires_in"), accessTokenSeconds}});
}

asio::awaitable<HttpResponse> AccountApi::refresh(const HttpRequest &request, const Caller &,
                                                  const Params &) {
    JsonFields fields(request);
    const QString token = fields.text("refresh_token", 512);
    if (!fields.ok())
        co_return fields.badRequest();
    const QString access = Secrets::newToken();
    const QString refresh = Secrets::newToken();
    const Database::TokenPair next{ServerContext::tokenHash(access),
                                   ServerContext::tokenHash(refresh), accessTokenSeconds,
                                   refreshTokenSeconds};
    const QString oldHash = ServerContext::tokenHash(token);
    const auto rotate = [oldHash, next](Database &database) {
        return database.rotateRefreshToken(oldHash, next);
    };
    const StoreReply rotated = co_await m_context.store.run<StoreReply>(rotate);
    if (rotated.outcome == StoreReply::Outcome::refused) {
        qCWarning(lcAccount, "a refresh token was used twice: its sign-in is ended");
        co_return HttpResponse::error(401,
                                      QStringLiteral("Session expired. Please sign in again."));
    }
    if (!rotated.ok())
        co_return HttpResponse::error(401,
                                      QStringLiteral("Session expired. Please sign in again."));
    co_return HttpResponse::json(200,
                                 QJsonObject{{QStringLiteral("access_token"), access},
                                             {QStringLiteral("refresh_token"), refresh},
                                             {QStringLiteral("expires_in"), accessTokenSeconds}});
}

asio::awaitable<HttpResponse> AccountApi::createApiKey(const HttpRequest &request,
                                                       const Caller &caller, const Params &) {
    JsonFields fields(request);
    const QString label = fields.text("label", maxLabelLength);
    if (!fields.ok())
        co_return fields.badRequest();
    const QString key = Secrets::newToken();
    const QString hash = ServerContext::tokenHash(key);
    const QString userId = caller.userId;
    const auto create = [userId, label, hash](Database &database) {
        return database.createApiKey(userId, label, hash);
    };
    QJsonObject created = co_await m_context.store.run<QJsonObject>(create);
    created.insert(QStringLiteral("key"), key);
    co_return HttpResponse::json(201, created);
}

asio::awaitable<HttpResponse> AccountApi::listApiKeys(const HttpRequest &, const Caller &caller,
                                                      const Params &) {
    const QString userId = caller.userId;
    const auto list = [userId](Database &database) { return database.apiKeys(userId); };
    co_return HttpResponse::json(200, co_await m_context.store.run<QJsonArray>(list));
}

asio::awaitable<HttpResponse> AccountApi::deleteApiKey(const HttpRequest &, const Caller &caller,
                                                       const Params &params) {
    const QString userId = caller.userId;
    const QString id = params.at(0);
    const auto remove = [userId, id](Database &database) {
        return database.deleteApiKey(userId, id);
    };
    if (!co_await m_context.store.run<bool>(remove))
        co_return HttpResponse::error(404, QStringLiteral("No such API key."));
    co_return HttpResponse::empty(204);
}

asio::awaitable<HttpResponse> AccountApi::initiatePairing(const HttpRequest &, const Caller &caller,
                                                          const Params &) {
    if (const int wait = co_await m_context.pairingCodesByUser.retryAfter(caller.userId)) {
        HttpResponse response =
            HttpResponse::error(429, QStringLiteral("Too many pairing codes; wait a little."));
        response.headers.append({QByteArrayLiteral("Retry-After"), QByteArray::number(wait)});
        co_return response;
    }
    co_await m_context.pairingCodesByUser.record(caller.userId);
    const QString code = newPairingCode();
    const QString userId = caller.userId;
    const auto keep = [userId, code](Database &database) {
        database.createPairingCode(userId, code, pairingCodeSeconds);
        return true;
    };
    co_await m_context.store.run<bool>(keep);
    co_return HttpResponse::json(200,
                                 QJsonObject{{QStringLiteral("code"), code},
                                             {QStringLiteral("expires_in"), pairingCodeSeconds}});
}

asio::awaitable<HttpResponse> AccountApi::pairedDevices(const HttpRequest &, const Caller &caller,
                                                        const Params &) {
    const QString userId = caller.userId;
    const auto list = [userId](Database &database) { return database.devices(userId); };
    co_return HttpResponse::json(200, co_await m_context.store.run<QJsonArray>(list));
}

asio::awaitable<HttpResponse>
AccountApi::deletePairedDevice(const HttpRequest &, const Caller &caller, const Params &params) {
    const QString userId = caller.userId;
    const QString id = params.at(0);
    const auto remove = [userId, id](Database &database) {
        return database.deleteDevice(userId, id);
    };
    if (!co_await m_context.store.run<bool>(remove))
        co_return HttpResponse::error(404, QStringLiteral("No such device."));
    // Its open event streams notice at their next wake-up.
    m_context.hub.notify(userId);
    co_return HttpResponse::empty(204);
}

} // namespace quillet
