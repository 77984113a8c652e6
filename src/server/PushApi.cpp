#include "server/PushApi.h"

#include "common/ApiRoutes.h"
#include "common/Base64Url.h"
#include "server/Database.h"
#include "server/JsonFields.h"
#include "server/PushSender.h"
#include "server/Router.h"
#include "server/ServerContext.h"
#include "server/WebPushMessage.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPushApi, "lorvo.fennick.quillet-server.Push")

namespace quillet {

namespace {

// Browsers' endpoints are a few hundred characters.
constexpr int maxEndpointLength = 2048;

} // namespace

void PushApi::addRoutes(Router &router) {
    const auto device = CredentialKind::deviceToken;
    router.add("GET", ApiRoutes::pushPublicKey, CredentialKind::none,
               Router::bind(this, &PushApi::publicKey));
    router.add("POST", ApiRoutes::pushSubscriptions, device,
               Router::bind(this, &PushApi::subscribe));
    router.add("DELETE", ApiRoutes::pushSubscriptions, device,
               Router::bind(this, &PushApi::unsubscribe));
}

asio::awaitable<HttpResponse> PushApi::publicKey(const HttpRequest &, const Caller &,
                                                 const Params &) {
    const PushSender &push = *m_context.push;
    if (!push.offReason().isEmpty())
        co_return HttpResponse::error(503, push.offReason());
    co_return HttpResponse::json(200,
                                 QJsonObject{{QStringLiteral("public_key"), push.publicKey()}});
}

asio::awaitable<HttpResponse> PushApi::subscribe(const HttpRequest &request, const Caller &caller,
                                                 const Params &) {
    const PushSender &push = *m_context.push;
    if (!push.offReason().isEmpty())
        co_return HttpResponse::error(503, push.offReason());
    // As PushSubscription.toJSON() gives it; "expirationTime" is not used: an expired
    // subscription shows itself as a 404 or 410 from its push service.
    JsonFields fields(request);
    const QString endpoint = fields.text("endpoint", maxEndpointLength);
    JsonFields keys(fields.object("keys"));
    const QString p256dh = keys.text("p256dh", 100);
    const QString auth = keys.text("auth", 100);
    if (fields.ok() && !keys.ok())
        fields.fail(keys.problem());
    const QUrl url(endpoint, QUrl::StrictMode);
    if (fields.ok() && (!url.isValid() || url.isRelative() || url.host().isEmpty()))
        fields.fail(QStringLiteral("\"endpoint\" must be a URL."));
    if (fields.ok() &&
        !WebPushMessage::acceptsKeys(Base64Url::decode(p256dh).value_or(QByteArray()),
                                     Base64Url::decode(auth).value_or(QByteArray())))
        fields.fail(QStringLiteral("\"keys\" must hold a P-256 \"p256dh\" key and a 16-byte "
                                   "\"auth\" secret, base64url."));
    if (!fields.ok())
        co_return fields.badRequest();
    if (!push.hosts().allows(url))
        co_return HttpResponse::error(
            422, QStringLiteral("This server sends notifications only over https to %1, not to %2.")
                     .arg(push.hosts().patterns().join(QStringLiteral(", ")), url.host()));

    const QString userId = caller.userId;
    const QString deviceId = caller.credentialId;
    const auto store = [userId, deviceId, endpoint, p256dh, auth](Database &database) {
        return database.putPushSubscription(userId, deviceId, endpoint, p256dh, auth);
    };
    const StoreReply stored = co_await m_context.store.run<StoreReply>(store);
    if (!stored.ok())
        co_return HttpResponse::error(401, QStringLiteral("The device is not paired."));
    qCInfo(lcPushApi, "push subscription via %s", qUtf8Printable(url.host()));
    co_return HttpResponse::json(201, QJsonObject{{QStringLiteral("id"), stored.value}});
}

asio::awaitable<HttpResponse> PushApi::unsubscribe(const HttpRequest &request, const Caller &caller,
                                                   const Params &) {
    JsonFields fields(request);
    const QString endpoint = fields.text("endpoint", maxEndpointLength);
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const auto remove = [userId, endpoint](Database &database) {
        return database.deletePushSubscription(userId, endpoint);
    };
    co_await m_context.store.run<bool>(remove);
    co_return HttpResponse::empty(204);
}

} // namespace quillet
