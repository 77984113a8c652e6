#include "agent/AgentClient.h"

#include "common/ApiRoutes.h"
#include "net/HttpTransport.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QUrl>

// The protocol's log lines belong to the engine's category.
Q_LOGGING_CATEGORY(lcAgentClient, "lorvo.fennick.quillet-mac.AgentService")

namespace quillet {

namespace {

std::optional<QJsonObject> parseObject(const AgentReply &reply) {
    if (!reply.data)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(*reply.data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QJsonArray> parseArrayOfObjects(const AgentReply &reply) {
    if (!reply.data)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(*reply.data, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    const QJsonArray array = document.array();
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            return std::nullopt;
    }
    return array;
}

std::optional<QString> stringField(const std::optional<QJsonObject> &object, const char *key) {
    if (!object)
        return std::nullopt;
    const QJsonValue value = object->value(QLatin1String(key));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// An id the server gave, usable as a path segment later; an empty text is no id.
std::optional<QString> idField(const std::optional<QJsonObject> &object) {
    std::optional<QString> id = stringField(object, "id");
    if (id && !HttpTransport::pathSegment(*id))
        return std::nullopt;
    return id;
}

QJsonObject statusBody(const QString &status) {
    QJsonObject body;
    body.insert(QStringLiteral("status"), status);
    return body;
}

} // namespace

AgentClient::AgentClient(QObject *parent) : QObject(parent), m_transport(new HttpTransport(this)) {
    setTimeouts(std::chrono::milliseconds(30000), std::chrono::milliseconds(60000));
}

void AgentClient::setTimeouts(std::chrono::milliseconds session,
                              std::chrono::milliseconds request) {
    m_transport->setTimeout(std::min(session, request));
}

QCoro::Task<AgentReply> AgentClient::sendAgentRequest(QByteArray method, QString path,
                                                      std::optional<QJsonObject> body,
                                                      Query query) {
    QString text = m_serverUrl + path;
    if (!query.isEmpty()) {
        QStringList pairs;
        for (const auto &[key, value] : std::as_const(query))
            pairs << key + QLatin1Char('=') + value;
        text += QLatin1Char('?') + pairs.join(QLatin1Char('&'));
    }
    QNetworkRequest request{QUrl(text)};
    request.setRawHeader("Authorization", "Bearer " + m_apiKey.toUtf8());
    // Always a payload, empty without a body: the requests say "Content-Length: 0" as they did.
    QByteArray payload;
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
    }

    const quint64 cancellations = m_cancellations;
    HttpResult result = co_await m_transport->send(request, method, payload);
    if (result.failure != HttpResult::Failure::none && cancellations != m_cancellations)
        co_return AgentReply{};
    QString failure;
    switch (result.failure) {
    case HttpResult::Failure::none:
        co_return AgentReply{std::move(result.body), result.status};
    case HttpResult::Failure::refused: // as an unparsable URL: nothing sent, nothing logged
        co_return AgentReply{};
    case HttpResult::Failure::timedOut:
        failure = QStringLiteral("timed out");
        break;
    case HttpResult::Failure::tooLarge:
        failure = QStringLiteral("response larger than %1 bytes").arg(HttpTransport::maxBodyBytes);
        break;
    case HttpResult::Failure::transport:
        failure = result.errorText;
        break;
    }
    qCCritical(lcAgentClient, "Request failed: %s %s — %s", method.constData(),
               qUtf8Printable(path), qUtf8Printable(failure));
    co_return AgentReply{};
}

QCoro::Task<std::optional<QString>>
AgentClient::createServerSession(QString agentLabel, std::optional<QString> projectName,
                                 std::optional<QString> paneTarget) {
    QJsonObject body;
    body.insert(QStringLiteral("agent_label"), agentLabel);
    if (projectName)
        body.insert(QStringLiteral("project_name"), *projectName);
    if (paneTarget)
        body.insert(QStringLiteral("pane_target"), *paneTarget);
    const AgentReply reply =
        co_await sendAgentRequest("POST", QString::fromLatin1(ApiRoutes::sessions), body);
    if ((reply.status & ~1) != 200)
        co_return std::nullopt;
    co_return idField(parseObject(reply));
}

QCoro::Task<> AgentClient::closeServerSession(QString sid) {
    const auto path = ApiRoutes::path(ApiRoutes::session, {sid});
    if (!path)
        co_return;
    const QJsonObject body = statusBody(QStringLiteral("closed"));
    co_await sendAgentRequest("PATCH", *path, body);
}

QCoro::Task<> AgentClient::streamContent(QString sid, QString content) {
    const auto path = ApiRoutes::path(ApiRoutes::sessionStream, {sid});
    if (!path)
        co_return;
    QJsonObject body;
    body.insert(QStringLiteral("content"), content);
    co_await sendAgentRequest("POST", *path, body);
}

QCoro::Task<std::optional<QString>> AgentClient::postQuestion(QString sid, QString context,
                                                              QString questionText) {
    const auto path = ApiRoutes::path(ApiRoutes::sessionQuestions, {sid});
    if (!path)
        co_return std::nullopt;
    QJsonObject body;
    body.insert(QStringLiteral("context"), context);
    body.insert(QStringLiteral("question_text"), questionText);
    const AgentReply reply = co_await sendAgentRequest("POST", *path, body);
    if (reply.status != 201)
        co_return std::nullopt;
    co_return idField(parseObject(reply));
}

QCoro::Task<> AgentClient::expireQuestion(QString sid, QString qid) {
    const auto path = ApiRoutes::path(ApiRoutes::sessionQuestion, {sid, qid});
    if (!path)
        co_return;
    const QJsonObject body = statusBody(QStringLiteral("expired"));
    co_await sendAgentRequest("PATCH", *path, body);
}

QCoro::Task<std::optional<QString>> AgentClient::fetchReply(QString sid, QString qid) {
    // Asks the server to answer at once instead of holding the request open.
    const auto path = ApiRoutes::path(ApiRoutes::questionReply, {sid, qid});
    if (!path)
        co_return std::nullopt;
    const Query query{{QStringLiteral("timeout"), QStringLiteral("0")}};
    const AgentReply reply = co_await sendAgentRequest("GET", *path, std::nullopt, query);
    if (reply.status != 200)
        co_return std::nullopt;
    co_return stringField(parseObject(reply), "reply_text");
}

QCoro::Task<QJsonArray> AgentClient::fetchInputs(QString sid) {
    const auto path = ApiRoutes::path(ApiRoutes::sessionInputs, {sid});
    if (!path)
        co_return QJsonArray();
    const AgentReply reply = co_await sendAgentRequest("GET", *path);
    if (reply.status != 200)
        co_return QJsonArray();
    co_return parseArrayOfObjects(reply).value_or(QJsonArray());
}

QCoro::Task<> AgentClient::acknowledgeInput(QString sid, QString inputId) {
    const auto path = ApiRoutes::path(ApiRoutes::sessionInput, {sid, inputId});
    if (!path)
        co_return;
    const QJsonObject body = statusBody(QStringLiteral("delivered"));
    co_await sendAgentRequest("PATCH", *path, body);
}

QCoro::Task<> AgentClient::acknowledgeCommand(QString commandId, QString status,
                                              std::optional<QString> errorMessage) {
    const auto path = ApiRoutes::path(ApiRoutes::command, {commandId});
    if (!path)
        co_return;
    QJsonObject body = statusBody(status);
    if (errorMessage)
        body.insert(QStringLiteral("error_message"), *errorMessage);
    co_await sendAgentRequest("PATCH", *path, body);
}

QCoro::Task<std::optional<QJsonArray>> AgentClient::fetchPendingCommands() {
    const AgentReply reply =
        co_await sendAgentRequest("GET", QString::fromLatin1(ApiRoutes::pendingCommands));
    if (reply.status != 200)
        co_return std::nullopt;
    co_return parseArrayOfObjects(reply);
}

QCoro::Task<int> AgentClient::uploadProjects(QJsonArray projects) {
    QJsonObject body;
    body.insert(QStringLiteral("projects"), projects);
    const AgentReply reply =
        co_await sendAgentRequest("PUT", QString::fromLatin1(ApiRoutes::projects), body);
    co_return reply.status;
}

QCoro::Task<std::optional<QStringList>> AgentClient::serverFeatures() {
    const AgentReply reply =
        co_await sendAgentRequest("GET", QString::fromLatin1(ApiRoutes::health));
    const std::optional<QJsonObject> health = parseObject(reply);
    if (reply.status != 200 || !health)
        co_return std::nullopt;
    QStringList features;
    for (const QJsonValue &feature : health->value(QStringLiteral("features")).toArray())
        features << feature.toString();
    co_return features;
}

QCoro::Task<std::optional<AgentWake>> AgentClient::waitForNews(std::optional<qint64> cursor,
                                                               int seconds) {
    Query query{{QStringLiteral("timeout"), QString::number(seconds)}};
    if (cursor)
        query.append({QStringLiteral("after"), QString::number(*cursor)});
    const AgentReply reply = co_await sendAgentRequest(
        "GET", QString::fromLatin1(ApiRoutes::agentEvents), std::nullopt, query);
    const std::optional<QJsonObject> answer = parseObject(reply);
    const QJsonValue position = answer ? answer->value(QStringLiteral("cursor")) : QJsonValue();
    if (reply.status != 200 || !position.isDouble())
        co_return std::nullopt;
    AgentWake wake;
    wake.cursor = position.toInteger();
    for (const QJsonValue &value : answer->value(QStringLiteral("events")).toArray()) {
        const QJsonObject event = value.toObject();
        const QString type = event.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("command"))
            wake.commands = true;
        else if (event.value(QStringLiteral("session_id")).isString())
            wake.sessions.insert(event.value(QStringLiteral("session_id")).toString());
    }
    co_return wake;
}

void AgentClient::cancelRequests() {
    ++m_cancellations;
    m_transport->cancelAll();
}

} // namespace quillet
