#include "server/PhoneApi.h"

#include "common/ApiRoutes.h"
#include "common/ControlText.h"
#include "common/InputKey.h"
#include "server/Database.h"
#include "server/EventFeed.h"
#include "server/JsonFields.h"
#include "server/Router.h"
#include "server/Secrets.h"
#include "server/ServerContext.h"
#include "server/StoreAnswer.h"

#include <QJsonArray>
#include <QLoggingCategory>
#include <algorithm>

Q_LOGGING_CATEGORY(lcPhone, "lorvo.fennick.quillet-server.Phone")

namespace quillet {

namespace {

constexpr int maxReplyLength = 64 * 1024;
constexpr int maxInputLength = 64 * 1024;

HttpResponse tooMany(int retryAfter) {
    HttpResponse response = HttpResponse::error(
        429, QStringLiteral("Too many wrong pairing codes; wait a few minutes."));
    response.headers.append({QByteArrayLiteral("Retry-After"), QByteArray::number(retryAfter)});
    return response;
}

// The phone's name for one send ("Idempotency-Key"), empty without one. It is a database key and
// is echoed in no answer, but it is still held to short visible ASCII.
QString idempotencyKey(const HttpRequest &request, JsonFields &fields) {
    const QByteArray key = request.header("idempotency-key");
    const bool visible =
        std::all_of(key.cbegin(), key.cend(), [](char c) { return c > 0x20 && c < 0x7f; });
    if (key.size() > 100 || !visible) {
        fields.fail(QStringLiteral("\"Idempotency-Key\" is up to 100 visible ASCII characters."));
        return {};
    }
    return QString::fromLatin1(key);
}

} // namespace

void PhoneApi::addRoutes(Router &router) {
    const auto device = CredentialKind::deviceToken;
    router.add("POST", ApiRoutes::pairComplete, CredentialKind::none,
               Router::bind(this, &PhoneApi::completePairing));
    router.add("GET", ApiRoutes::sessions, device, Router::bind(this, &PhoneApi::sessions));
    router.add("GET", ApiRoutes::session, device, Router::bind(this, &PhoneApi::session));
    router.add("GET", ApiRoutes::questions, device, Router::bind(this, &PhoneApi::questions));
    router.add("POST", ApiRoutes::answer, device, Router::bind(this, &PhoneApi::answer));
    router.add("POST", ApiRoutes::sessionInputs, device, Router::bind(this, &PhoneApi::addInput));
    router.add("GET", ApiRoutes::projects, device, Router::bind(this, &PhoneApi::projects));
    router.add("POST", ApiRoutes::commands, device, Router::bind(this, &PhoneApi::createCommand));
    router.add("GET", ApiRoutes::command, device, Router::bind(this, &PhoneApi::command));
    router.add("GET", ApiRoutes::events, device, Router::bind(this, &PhoneApi::events));
    router.add("DELETE", ApiRoutes::thisDevice, device, Router::bind(this, &PhoneApi::unpair));
}

asio::awaitable<HttpResponse> PhoneApi::completePairing(const HttpRequest &request, const Caller &,
                                                        const Params &) {
    const QString address = request.remoteAddress;
    const QString everyone = QStringLiteral("*");
    if (const int wait = co_await m_context.pairingFailuresByAddress.retryAfter(address))
        co_return tooMany(wait);
    if (const int wait = co_await m_context.pairingFailuresOverall.retryAfter(everyone))
        co_return tooMany(wait);

    JsonFields fields(request);
    QString code = fields.text("code", 32);
    const QString name = fields.text("device_name", 100);
    const QString type = fields.text("device_type", 50);
    if (!fields.ok())
        co_return fields.badRequest();
    // As people type it off a screen: "abc 123", "ABC-123".
    code = code.toUpper().remove(QLatin1Char(' ')).remove(QLatin1Char('-'));

    const QString token = Secrets::newToken();
    const QString hash = ServerContext::tokenHash(token);
    const auto pair = [code, name, type, hash](Database &database) {
        return database.completePairing(code, name, type, hash);
    };
    const StoreReply paired = co_await m_context.store.run<StoreReply>(pair);
    if (!paired.ok()) {
        co_await m_context.pairingFailuresByAddress.record(address);
        co_await m_context.pairingFailuresOverall.record(everyone);
        co_return HttpResponse::error(404, QStringLiteral("The code is unknown, used or expired."));
    }
    qCInfo(lcPhone, "device paired: %s (%s)", qUtf8Printable(ControlText::escaped(name)),
           qUtf8Printable(ControlText::escaped(type)));
    m_context.hub.notify(paired.userId);
    co_return HttpResponse::json(201, QJsonObject{{QStringLiteral("device_id"), paired.value},
                                                  {QStringLiteral("device_token"), token}});
}

asio::awaitable<HttpResponse> PhoneApi::sessions(const HttpRequest &, const Caller &caller,
                                                 const Params &) {
    const QString userId = caller.userId;
    const auto list = [userId](Database &database) { return database.sessions(userId); };
    co_return HttpResponse::json(200, co_await m_context.store.run<QJsonArray>(list));
}

asio::awaitable<HttpResponse> PhoneApi::session(const HttpRequest &, const Caller &caller,
                                                const Params &params) {
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const auto read = [userId, sessionId](Database &database) {
        return database.session(userId, sessionId);
    };
    co_return storeAnswer(co_await m_context.store.run<StoreReply>(read), 200,
                          QStringLiteral("No such session."));
}

asio::awaitable<HttpResponse> PhoneApi::questions(const HttpRequest &request, const Caller &caller,
                                                  const Params &) {
    const QString status = request.query.queryItemValue(QStringLiteral("status"));
    if (!status.isEmpty() && status != QLatin1String("pending") &&
        status != QLatin1String("answered") && status != QLatin1String("expired"))
        co_return HttpResponse::error(
            400, QStringLiteral("\"status\" is one of pending, answered and expired."));
    const QString userId = caller.userId;
    const auto list = [userId, status](Database &database) {
        return database.questions(userId, status);
    };
    co_return HttpResponse::json(200, co_await m_context.store.run<QJsonArray>(list));
}

asio::awaitable<HttpResponse> PhoneApi::answer(const HttpRequest &request, const Caller &caller,
                                               const Params &params) {
    JsonFields fields(request);
    // Typed into the pane as it is, so an empty answer (just Enter) is a valid one.
    const QString text = fields.text("reply_text", maxReplyLength, false);
    const QString sendKey = idempotencyKey(request, fields);
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QString questionId = params.at(0);
    const auto store = [userId, questionId, text, sendKey](Database &database) {
        return database.answerQuestion(userId, questionId, text, sendKey);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(store);
    if (reply.ok())
        m_context.hub.notify(userId);
    co_return storeAnswer(reply, 200, QStringLiteral("No such question."));
}

asio::awaitable<HttpResponse> PhoneApi::addInput(const HttpRequest &request, const Caller &caller,
                                                 const Params &params) {
    JsonFields fields(request);
    const std::optional<QString> text = fields.optionalText("input_text", maxInputLength);
    const std::optional<QString> key = fields.optionalText("key", 32);
    if (fields.ok() && text.has_value() == key.has_value())
        fields.fail(QStringLiteral("Send either \"input_text\" or \"key\"."));
    if (fields.ok() && key && !InputKey::tmuxName(*key))
        fields.fail(QStringLiteral("\"key\" is one of: %1.")
                        .arg(InputKey::names().join(QStringLiteral(", "))));
    const QString sendKey = idempotencyKey(request, fields);
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const QVariant textValue = text ? QVariant(*text) : QVariant();
    const QVariant keyValue = key ? QVariant(*key) : QVariant();
    const auto add = [userId, sessionId, textValue, keyValue, sendKey](Database &database) {
        return database.addInput(userId, sessionId, textValue, keyValue, sendKey);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(add);
    if (reply.ok())
        m_context.hub.notify(userId);
    co_return storeAnswer(reply, 201, QStringLiteral("No such session."));
}

asio::awaitable<HttpResponse> PhoneApi::projects(const HttpRequest &, const Caller &caller,
                                                 const Params &) {
    const QString userId = caller.userId;
    const auto list = [userId](Database &database) { return database.projects(userId); };
    co_return HttpResponse::json(200, co_await m_context.store.run<QJsonArray>(list));
}

asio::awaitable<HttpResponse> PhoneApi::createCommand(const HttpRequest &request,
                                                      const Caller &caller, const Params &) {
    JsonFields fields(request);
    const QString projectId = fields.text("project_id", 100);
    const QString type = fields.text("command_type", 20);
    if (fields.ok() && type != QLatin1String("launch") && type != QLatin1String("stop"))
        fields.fail(QStringLiteral("\"command_type\" is \"launch\" or \"stop\"."));
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const auto create = [userId, projectId, type](Database &database) {
        return database.createCommand(userId, projectId, type);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(create);
    if (reply.ok())
        m_context.hub.notify(userId);
    co_return storeAnswer(reply, 201, QStringLiteral("No such project."));
}

asio::awaitable<HttpResponse> PhoneApi::command(const HttpRequest &, const Caller &caller,
                                                const Params &params) {
    const QString userId = caller.userId;
    const QString commandId = params.at(0);
    const auto read = [userId, commandId](Database &database) {
        return database.command(userId, commandId);
    };
    co_return storeAnswer(co_await m_context.store.run<StoreReply>(read), 200,
                          QStringLiteral("No such command."));
}

asio::awaitable<HttpResponse> PhoneApi::events(const HttpRequest &request, const Caller &caller,
                                               const Params &) {
    if (m_context.openStreams.value(caller.credentialId) >= ServerContext::maxStreamsPerDevice)
        co_return HttpResponse::error(429, QStringLiteral("Too many open event streams."));
    // Where to resume: the header a reconnecting reader sends, or "after" for a first load
    // that already fetched the lists; without either, from now on.
    QString position = QString::fromUtf8(request.header("last-event-id"));
    if (position.isEmpty())
        position = request.query.queryItemValue(QStringLiteral("after"));
    Database::ResumePoint start;
    const QString userId = caller.userId;
    if (!position.isEmpty()) {
        bool ok = false;
        const qint64 seen = position.toLongLong(&ok);
        if (!ok || seen < 0)
            co_return HttpResponse::error(400, QStringLiteral("The event id is not a number."));
        const auto resume = [userId, seen](Database &database) {
            return database.resumePoint(userId, seen);
        };
        start = co_await m_context.store.run<Database::ResumePoint>(resume);
    } else {
        const auto last = [userId](Database &database) { return database.lastEventId(userId); };
        start.after = co_await m_context.store.run<qint64>(last);
    }
    HttpResponse response;
    response.status = 200;
    response.stream = std::make_shared<EventFeed>(m_context, caller, start.after, start.reload);
    co_return response;
}

asio::awaitable<HttpResponse> PhoneApi::unpair(const HttpRequest &, const Caller &caller,
                                               const Params &) {
    const QString userId = caller.userId;
    const QString deviceId = caller.credentialId;
    const auto remove = [userId, deviceId](Database &database) {
        return database.deleteDevice(userId, deviceId);
    };
    co_await m_context.store.run<bool>(remove);
    m_context.hub.notify(userId);
    co_return HttpResponse::empty(204);
}

} // namespace quillet
