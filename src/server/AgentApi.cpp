#include "server/AgentApi.h"

#include "common/ApiRoutes.h"
#include "server/Database.h"
#include "server/JsonFields.h"
#include "server/PushSender.h"
#include "server/Router.h"
#include "server/ServerContext.h"
#include "server/StoreAnswer.h"

#include <QJsonArray>
#include <chrono>

namespace quillet {

namespace {

constexpr int maxLabelLength = 200;
constexpr int maxNameLength = 1000;
// A screen of 100 lines, a question and its context: generous, but bounded.
constexpr int maxScreenLength = 256 * 1024;
constexpr int maxProjects = 1000;

const QString noSession = QStringLiteral("No such session.");
const QString noQuestion = QStringLiteral("No such question.");
const QString agentEventsFeature = QStringLiteral("agent-events");

// The "timeout" query item in whole seconds, at most `limit`; `fallback` without one, nothing
// when it is not a whole number.
std::optional<int> waitSeconds(const HttpRequest &request, int fallback, int limit) {
    const QString name = QStringLiteral("timeout");
    if (!request.query.hasQueryItem(name))
        return fallback;
    bool ok = false;
    const int seconds = request.query.queryItemValue(name).toInt(&ok);
    if (!ok || seconds < 0)
        return std::nullopt;
    return std::min(seconds, limit);
}

// What the agent acts on in the user's event log: a reply or an input for one of its sessions, a
// command queued by the phone. Everything else (screens, its own acknowledgements) is not news.
std::optional<QJsonObject> agentEvent(const QJsonObject &event) {
    const QString type = event.value(QStringLiteral("type")).toString();
    const QJsonObject data = event.value(QStringLiteral("data")).toObject();
    const QJsonValue session = data.value(QStringLiteral("session_id"));
    if (type == QLatin1String("question.answered"))
        return QJsonObject{
            {QStringLiteral("type"), QStringLiteral("reply")},
            {QStringLiteral("session_id"), session},
            {QStringLiteral("question_id"), data.value(QStringLiteral("question_id"))}};
    if (type == QLatin1String("input.added"))
        return QJsonObject{{QStringLiteral("type"), QStringLiteral("input")},
                           {QStringLiteral("session_id"), session},
                           {QStringLiteral("input_id"), data.value(QStringLiteral("id"))}};
    if (type == QLatin1String("command.status") &&
        data.value(QStringLiteral("status")).toString() == QLatin1String("pending"))
        return QJsonObject{{QStringLiteral("type"), QStringLiteral("command")},
                           {QStringLiteral("command_id"), data.value(QStringLiteral("id"))}};
    return std::nullopt;
}

// The agent's news after `after` (from the latest event when negative or ahead of the log, as
// after a new database), and the position up to which the log was read.
QJsonObject agentEventsAfter(Database &database, const QString &userId, qint64 after) {
    constexpr int batch = 500;
    const qint64 last = database.lastEventId(userId);
    qint64 cursor = after < 0 || after > last ? last : after;
    QJsonArray found;
    for (;;) {
        const QJsonArray events = database.events(userId, cursor, batch);
        for (const QJsonValue &value : events) {
            const QJsonObject event = value.toObject();
            cursor = event.value(QStringLiteral("id")).toInteger();
            if (const std::optional<QJsonObject> news = agentEvent(event))
                found.append(*news);
        }
        if (events.size() < batch || !found.isEmpty())
            break;
    }
    return QJsonObject{{QStringLiteral("cursor"), cursor}, {QStringLiteral("events"), found}};
}

} // namespace

void AgentApi::addRoutes(Router &router) {
    const auto agent = CredentialKind::agentKey;
    router.add("POST", ApiRoutes::sessions, agent, Router::bind(this, &AgentApi::createSession));
    router.add("PATCH", ApiRoutes::session, agent, Router::bind(this, &AgentApi::updateSession));
    router.add("POST", ApiRoutes::sessionStream, agent, Router::bind(this, &AgentApi::stream));
    router.add("POST", ApiRoutes::sessionQuestions, agent,
               Router::bind(this, &AgentApi::postQuestion));
    router.add("PATCH", ApiRoutes::sessionQuestion, agent,
               Router::bind(this, &AgentApi::updateQuestion));
    router.add("GET", ApiRoutes::questionReply, agent, Router::bind(this, &AgentApi::reply));
    router.add("GET", ApiRoutes::sessionInputs, agent, Router::bind(this, &AgentApi::inputs));
    router.add("PATCH", ApiRoutes::sessionInput, agent, Router::bind(this, &AgentApi::updateInput));
    router.add("GET", ApiRoutes::pendingCommands, agent,
               Router::bind(this, &AgentApi::pendingCommands));
    router.add("PATCH", ApiRoutes::command, agent, Router::bind(this, &AgentApi::updateCommand));
    router.add("PUT", ApiRoutes::projects, agent, Router::bind(this, &AgentApi::uploadProjects));
    if (!features().isEmpty())
        router.add("GET", ApiRoutes::agentEvents, agent, Router::bind(this, &AgentApi::events));
}

QJsonArray AgentApi::features() {
    if (qEnvironmentVariable("QUILLET_SERVER_AGENT_EVENTS") == QLatin1String("0"))
        return {};
    return QJsonArray{agentEventsFeature};
}

asio::awaitable<HttpResponse> AgentApi::createSession(const HttpRequest &request,
                                                      const Caller &caller, const Params &) {
    JsonFields fields(request);
    const QString label = fields.text("agent_label", maxLabelLength);
    const std::optional<QString> project = fields.optionalText("project_name", maxNameLength);
    const std::optional<QString> pane = fields.optionalText("pane_target", maxNameLength);
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QVariant projectName = project ? QVariant(*project) : QVariant();
    const QVariant paneTarget = pane ? QVariant(*pane) : QVariant();
    const auto create = [userId, label, projectName, paneTarget](Database &database) {
        return database.createSession(userId, label, projectName, paneTarget);
    };
    const QJsonObject session = co_await m_context.store.run<QJsonObject>(create);
    m_context.hub.notify(userId);
    co_return HttpResponse::json(201, session);
}

asio::awaitable<HttpResponse> AgentApi::updateSession(const HttpRequest &request,
                                                      const Caller &caller, const Params &params) {
    JsonFields fields(request);
    const QString status = fields.text("status", 20);
    if (fields.ok() && status != QLatin1String("closed"))
        fields.fail(QStringLiteral("\"status\" can only become \"closed\"."));
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const auto close = [userId, sessionId](Database &database) {
        return database.closeSession(userId, sessionId);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(close);
    if (reply.ok())
        m_context.hub.notify(userId);
    co_return storeAnswer(reply, 200, noSession);
}

asio::awaitable<HttpResponse> AgentApi::stream(const HttpRequest &request, const Caller &caller,
                                               const Params &params) {
    JsonFields fields(request);
    const QString content = fields.text("content", maxScreenLength, false);
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const auto keep = [userId, sessionId, content](Database &database) {
        return database.streamContent(userId, sessionId, content);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(keep);
    if (!reply.ok())
        co_return storeAnswer(reply, 200, noSession);
    if (reply.value.toBool())
        m_context.hub.notify(userId);
    co_return HttpResponse::empty(204);
}

asio::awaitable<HttpResponse> AgentApi::postQuestion(const HttpRequest &request,
                                                     const Caller &caller, const Params &params) {
    JsonFields fields(request);
    const QString context = fields.text("context", maxScreenLength, false);
    const QString text = fields.text("question_text", maxScreenLength, false);
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const auto post = [userId, sessionId, context, text](Database &database) {
        return database.postQuestion(userId, sessionId, context, text);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(post);
    if (reply.ok()) {
        m_context.hub.notify(userId);
        m_context.push->questionPosted(userId, reply.value.toObject());
    }
    co_return storeAnswer(reply, 201, noSession);
}

asio::awaitable<HttpResponse> AgentApi::updateQuestion(const HttpRequest &request,
                                                       const Caller &caller, const Params &params) {
    JsonFields fields(request);
    const QString status = fields.text("status", 20);
    if (fields.ok() && status != QLatin1String("expired"))
        fields.fail(QStringLiteral("\"status\" can only become \"expired\"."));
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const QString questionId = params.at(1);
    const auto expire = [userId, sessionId, questionId](Database &database) {
        return database.expireQuestion(userId, sessionId, questionId);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(expire);
    if (reply.ok())
        m_context.hub.notify(userId);
    co_return storeAnswer(reply, 200, noQuestion);
}

asio::awaitable<HttpResponse> AgentApi::reply(const HttpRequest &request, const Caller &caller,
                                              const Params &params) {
    const std::optional<int> timeout = waitSeconds(request, 0, maxReplyWaitSeconds);
    if (!timeout)
        co_return HttpResponse::error(
            400, QStringLiteral("\"timeout\" must be a whole number of seconds."));
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const QString questionId = params.at(1);
    const auto read = [userId, sessionId, questionId](Database &database) {
        return database.question(userId, sessionId, questionId);
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(*timeout);
    for (;;) {
        const StoreReply found = co_await m_context.store.run<StoreReply>(read);
        if (!found.ok())
            co_return storeAnswer(found, 200, noQuestion);
        const QJsonObject question = found.value.toObject();
        const QString status = question.value(QStringLiteral("status")).toString();
        if (status == QLatin1String("answered"))
            co_return HttpResponse::json(200, question);
        if (status != QLatin1String("pending"))
            co_return HttpResponse::error(409, QStringLiteral("The question is %1.").arg(status));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_context.hub.isClosed())
            co_return HttpResponse::empty(204);
        co_await m_context.hub.wait(userId, left);
    }
}

asio::awaitable<HttpResponse> AgentApi::inputs(const HttpRequest &, const Caller &caller,
                                               const Params &params) {
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const auto list = [userId, sessionId](Database &database) {
        return database.pendingInputs(userId, sessionId);
    };
    co_return storeAnswer(co_await m_context.store.run<StoreReply>(list), 200, noSession);
}

asio::awaitable<HttpResponse> AgentApi::updateInput(const HttpRequest &request,
                                                    const Caller &caller, const Params &params) {
    JsonFields fields(request);
    const QString status = fields.text("status", 20);
    if (fields.ok() && status != QLatin1String("delivered"))
        fields.fail(QStringLiteral("\"status\" can only become \"delivered\"."));
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QString sessionId = params.at(0);
    const QString inputId = params.at(1);
    const auto deliver = [userId, sessionId, inputId](Database &database) {
        return database.deliverInput(userId, sessionId, inputId);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(deliver);
    if (reply.ok())
        m_context.hub.notify(userId);
    co_return storeAnswer(reply, 200, QStringLiteral("No such input."));
}

asio::awaitable<HttpResponse> AgentApi::pendingCommands(const HttpRequest &, const Caller &caller,
                                                        const Params &) {
    const QString userId = caller.userId;
    const auto list = [userId](Database &database) { return database.pendingCommands(userId); };
    co_return HttpResponse::json(200, co_await m_context.store.run<QJsonArray>(list));
}

asio::awaitable<HttpResponse> AgentApi::updateCommand(const HttpRequest &request,
                                                      const Caller &caller, const Params &params) {
    JsonFields fields(request);
    const QString status = fields.text("status", 20);
    const std::optional<QString> message = fields.optionalText("error_message", 2000);
    if (fields.ok() && status != QLatin1String("delivered") && status != QLatin1String("success") &&
        status != QLatin1String("failed"))
        fields.fail(QStringLiteral("\"status\" must be \"delivered\", \"success\" or \"failed\"."));
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const QString commandId = params.at(0);
    const QVariant errorMessage = message ? QVariant(*message) : QVariant();
    const auto update = [userId, commandId, status, errorMessage](Database &database) {
        return database.updateCommand(userId, commandId, status, errorMessage);
    };
    const StoreReply reply = co_await m_context.store.run<StoreReply>(update);
    if (reply.ok())
        m_context.hub.notify(userId);
    co_return storeAnswer(reply, 200, QStringLiteral("No such command."));
}

asio::awaitable<HttpResponse> AgentApi::uploadProjects(const HttpRequest &request,
                                                       const Caller &caller, const Params &) {
    JsonFields fields(request);
    const QJsonArray list = fields.array("projects");
    if (fields.ok() && list.size() > maxProjects)
        fields.fail(QStringLiteral("At most %1 projects.").arg(maxProjects));
    QJsonArray projects;
    for (const QJsonValue &value : list) {
        if (!value.isObject()) {
            fields.fail(QStringLiteral("Each project must be an object."));
            break;
        }
        JsonFields project(value.toObject());
        project.text("id", 100);
        project.text("name", maxNameLength, false);
        project.text("directory", 4096, false);
        project.text("tmux_session_name", maxNameLength, false);
        project.text("launch_command", 4096, false);
        project.text("tool", 50, false);
        project.boolean("auto_launch");
        project.boolean("is_running");
        if (!project.ok()) {
            fields.fail(
                QStringLiteral("projects[%1]: %2").arg(projects.size()).arg(project.problem()));
            break;
        }
        projects.append(value);
    }
    if (!fields.ok())
        co_return fields.badRequest();
    const QString userId = caller.userId;
    const auto replace = [userId, projects](Database &database) {
        database.replaceProjects(userId, projects);
        return true;
    };
    co_await m_context.store.run<bool>(replace);
    m_context.hub.notify(userId);
    co_return HttpResponse::json(200, QJsonObject{{QStringLiteral("count"), projects.size()}});
}

asio::awaitable<HttpResponse> AgentApi::events(const HttpRequest &request, const Caller &caller,
                                               const Params &) {
    const std::optional<int> timeout =
        waitSeconds(request, maxReplyWaitSeconds, maxReplyWaitSeconds);
    qint64 cursor = -1;
    bool ok = true;
    if (request.query.hasQueryItem(QStringLiteral("after")))
        cursor = request.query.queryItemValue(QStringLiteral("after")).toLongLong(&ok);
    if (!timeout || !ok || cursor < -1)
        co_return HttpResponse::error(
            400, QStringLiteral("\"after\" and \"timeout\" must be whole numbers."));
    const QString userId = caller.userId;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(*timeout);
    for (;;) {
        const quint64 heard = m_context.hub.notifications();
        const auto read = [userId, cursor](Database &database) {
            return agentEventsAfter(database, userId, cursor);
        };
        const QJsonObject news = co_await m_context.store.run<QJsonObject>(read);
        cursor = news.value(QStringLiteral("cursor")).toInteger();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!news.value(QStringLiteral("events")).toArray().isEmpty() || left.count() <= 0 ||
            m_context.hub.isClosed())
            co_return HttpResponse::json(200, news);
        if (m_context.hub.notifications() == heard)
            co_await m_context.hub.wait(userId, left);
    }
}

} // namespace quillet
