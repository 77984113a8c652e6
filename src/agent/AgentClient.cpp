#include "agent/AgentClient.h"

#include "common/ApiRoutes.h"
#include "common/DeleteLater.h"

#include <QCoroNetworkReply>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <memory>

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
    if (id && !AgentClient::pathSegment(*id))
        return std::nullopt;
    return id;
}

QJsonObject statusBody(const QString &status) {
    QJsonObject body;
    body.insert(QStringLiteral("status"), status);
    return body;
}

} // namespace

AgentClient::AgentClient(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this)) {}

void AgentClient::setTimeouts(std::chrono::milliseconds session,
                              std::chrono::milliseconds request) {
    m_sessionTimeout = session;
    m_requestTimeout = request;
}

std::optional<QString> AgentClient::pathSegment(const QString &id) {
    return ApiRoutes::segment(id);
}

std::optional<QString> AgentClient::idPath(const QString &pattern, const QStringList &ids) {
    QStringList segments;
    for (const QString &id : ids) {
        const std::optional<QString> segment = pathSegment(id);
        if (!segment)
            return std::nullopt;
        segments << *segment;
    }
    // All at once: a segment holding "%25" must not be read as a place marker.
    return segments.size() == 1 ? pattern.arg(segments[0]) : pattern.arg(segments[0], segments[1]);
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
    const QUrl url(text);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        co_return AgentReply{};

    QNetworkRequest request(url);
    request.setTransferTimeout(int(std::min(m_sessionTimeout, m_requestTimeout).count()));
    request.setRawHeader("Authorization", "Bearer " + m_apiKey.toUtf8());
    QByteArray payload;
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
    }

    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        m_network->sendCustomRequest(request, method, payload));
    bool tooLarge = false;
    QNetworkReply *raw = reply.get();
    const auto refuseOversized = [raw, &tooLarge](qint64 size) {
        if (size > maxBodyBytes && !tooLarge) {
            tooLarge = true;
            raw->abort();
        }
    };
    connect(raw, &QNetworkReply::metaDataChanged, raw, [raw, refuseOversized] {
        refuseOversized(raw->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    });
    connect(raw, &QNetworkReply::downloadProgress, raw,
            [refuseOversized](qint64 received, qint64) { refuseOversized(received); });
    co_await raw;
    // The guards above refer to this frame; nothing may call them once it is gone.
    QObject::disconnect(raw, nullptr, raw, nullptr);

    QString failure;
    if (tooLarge)
        failure = QStringLiteral("response larger than %1 bytes").arg(maxBodyBytes);
    else if (raw->error() == QNetworkReply::OperationCanceledError)
        failure = QStringLiteral("timed out");
    else if (!raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() &&
             raw->error() != QNetworkReply::NoError)
        failure = raw->errorString();
    if (!failure.isEmpty()) {
        qCCritical(lcAgentClient, "Request failed: %s %s — %s", method.constData(),
                   qUtf8Printable(path), qUtf8Printable(failure));
        co_return AgentReply{};
    }
    co_return AgentReply{raw->readAll(),
                         raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()};
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
        co_await sendAgentRequest("POST", QStringLiteral("/api/sessions"), body);
    if ((reply.status & ~1) != 200)
        co_return std::nullopt;
    co_return idField(parseObject(reply));
}

QCoro::Task<> AgentClient::closeServerSession(QString sid) {
    const auto path = idPath(QStringLiteral("/api/sessions/%1"), {sid});
    if (!path)
        co_return;
    const QJsonObject body = statusBody(QStringLiteral("closed"));
    co_await sendAgentRequest("PATCH", *path, body);
}

QCoro::Task<> AgentClient::streamContent(QString sid, QString content) {
    const auto path = idPath(QStringLiteral("/api/sessions/%1/stream"), {sid});
    if (!path)
        co_return;
    QJsonObject body;
    body.insert(QStringLiteral("content"), content);
    co_await sendAgentRequest("POST", *path, body);
}

QCoro::Task<std::optional<QString>> AgentClient::postQuestion(QString sid, QString context,
                                                              QString questionText) {
    const auto path = idPath(QStringLiteral("/api/sessions/%1/questions"), {sid});
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
    const auto path = idPath(QStringLiteral("/api/sessions/%1/questions/%2"), {sid, qid});
    if (!path)
        co_return;
    const QJsonObject body = statusBody(QStringLiteral("expired"));
    co_await sendAgentRequest("PATCH", *path, body);
}

QCoro::Task<std::optional<QString>> AgentClient::fetchReply(QString sid, QString qid) {
    // Asks the server to answer at once instead of holding the request open.
    const auto path = idPath(QStringLiteral("/api/sessions/%1/questions/%2/reply"), {sid, qid});
    if (!path)
        co_return std::nullopt;
    const Query query{{QStringLiteral("timeout"), QStringLiteral("0")}};
    const AgentReply reply = co_await sendAgentRequest("GET", *path, std::nullopt, query);
    if (reply.status != 200)
        co_return std::nullopt;
    co_return stringField(parseObject(reply), "reply_text");
}

QCoro::Task<QJsonArray> AgentClient::fetchInputs(QString sid) {
    const auto path = idPath(QStringLiteral("/api/sessions/%1/inputs"), {sid});
    if (!path)
        co_return QJsonArray();
    const AgentReply reply = co_await sendAgentRequest("GET", *path);
    if (reply.status != 200)
        co_return QJsonArray();
    co_return parseArrayOfObjects(reply).value_or(QJsonArray());
}

QCoro::Task<> AgentClient::acknowledgeInput(QString sid, QString inputId) {
    const auto path = idPath(QStringLiteral("/api/sessions/%1/inputs/%2"), {sid, inputId});
    if (!path)
        co_return;
    const QJsonObject body = statusBody(QStringLiteral("delivered"));
    co_await sendAgentRequest("PATCH", *path, body);
}

QCoro::Task<> AgentClient::acknowledgeCommand(QString commandId, QString status,
                                              std::optional<QString> errorMessage) {
    const auto path = idPath(QStringLiteral("/api/commands/%1"), {commandId});
    if (!path)
        co_return;
    QJsonObject body = statusBody(status);
    if (errorMessage)
        body.insert(QStringLiteral("error_message"), *errorMessage);
    co_await sendAgentRequest("PATCH", *path, body);
}

QCoro::Task<std::optional<QJsonArray>> AgentClient::fetchPendingCommands() {
    const AgentReply reply =
        co_await sendAgentRequest("GET", QStringLiteral("/api/commands/pending"));
    if (reply.status != 200)
        co_return std::nullopt;
    co_return parseArrayOfObjects(reply);
}

QCoro::Task<int> AgentClient::uploadProjects(QJsonArray projects) {
    QJsonObject body;
    body.insert(QStringLiteral("projects"), projects);
    const AgentReply reply =
        co_await sendAgentRequest("PUT", QStringLiteral("/api/projects"), body);
    co_return reply.status;
}

} // namespace quillet
