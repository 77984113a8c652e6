#pragma once

#include "agent/AgentReply.h"
#include "agent/AgentWake.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <chrono>
#include <optional>

namespace quillet {

class HttpTransport;

// The engine's side of the server protocol, authenticated with the agent API key. Nothing here
// throws or retries: every failure becomes "no result" and the monitor tries again on its next
// scan. The client must outlive the requests it has in flight.
class AgentClient : public QObject {
    Q_OBJECT
public:
    explicit AgentClient(QObject *parent = nullptr);

    QString serverUrl() const { return m_serverUrl; }
    void setServerUrl(const QString &url) { m_serverUrl = url; }
    QString apiKey() const { return m_apiKey; }
    void setApiKey(const QString &key) { m_apiKey = key; }

    // A request fails when its transfer stalls for the shorter of the two (30 s and 60 s).
    void setTimeouts(std::chrono::milliseconds session, std::chrono::milliseconds request);

    using Query = QList<QPair<QString, QString>>;
    QCoro::Task<AgentReply> sendAgentRequest(QByteArray method, QString path,
                                             std::optional<QJsonObject> body = std::nullopt,
                                             Query query = {});

    QCoro::Task<std::optional<QString>> createServerSession(QString agentLabel,
                                                            std::optional<QString> projectName,
                                                            std::optional<QString> paneTarget);
    QCoro::Task<> closeServerSession(QString sid);
    QCoro::Task<> streamContent(QString sid, QString content);
    QCoro::Task<std::optional<QString>> postQuestion(QString sid, QString context,
                                                     QString questionText);
    QCoro::Task<> expireQuestion(QString sid, QString qid);
    QCoro::Task<std::optional<QString>> fetchReply(QString sid, QString qid);
    // Empty on any failure.
    QCoro::Task<QJsonArray> fetchInputs(QString sid);
    QCoro::Task<> acknowledgeInput(QString sid, QString inputId);
    QCoro::Task<> acknowledgeCommand(QString commandId, QString status,
                                     std::optional<QString> errorMessage);
    // Absent unless the answer is 200 and an array of objects.
    QCoro::Task<std::optional<QJsonArray>> fetchPendingCommands();
    // The HTTP status of the upload, 0 after a transport failure.
    QCoro::Task<int> uploadProjects(QJsonArray projects);

    // The features the server's health answer names; nothing when it did not answer.
    QCoro::Task<std::optional<QStringList>> serverFeatures();
    // Held by the server until it has a reply, an input or a command for this agent after
    // `cursor` (from now on without one), or `seconds` have passed. Nothing on any failure.
    QCoro::Task<std::optional<AgentWake>> waitForNews(std::optional<qint64> cursor, int seconds);
    // Ends the requests in flight as failures, without a log line: they were given up, not lost.
    void cancelRequests();

private:
    HttpTransport *m_transport;
    QString m_serverUrl;
    QString m_apiKey;
    quint64 m_cancellations = 0;
};

} // namespace quillet
