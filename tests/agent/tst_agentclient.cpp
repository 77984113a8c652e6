#include "agent/AgentClient.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonObject>

using namespace quillet;
using namespace quillet::test;

class TestAgentClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_server = std::make_unique<FakeServer>();
        m_client = std::make_unique<AgentClient>();
        m_client->setServerUrl(m_server->baseUrl());
        m_client->setApiKey(QStringLiteral("qk_secret"));
    }

    void cleanup() {
        m_client.reset();
        m_server.reset();
    }

    void wireFormat_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QByteArray>("body"); // compact JSON, keys sorted; empty: no body

        QTest::newRow("create session")
            << "createServerSession" << QByteArray("POST") << "/api/sessions"
            << ""
            << QByteArray(
                   R"({"agent_label":"Quillet Mac","pane_target":"web:0.1","project_name":"web"})");
        QTest::newRow("create session, no project")
            << "createServerSession bare" << QByteArray("POST") << "/api/sessions"
            << "" << QByteArray(R"({"agent_label":"Quillet Mac"})");
        QTest::newRow("close") << "closeServerSession" << QByteArray("PATCH") << "/api/sessions/s1"
                               << "" << QByteArray(R"({"status":"closed"})");
        QTest::newRow("stream") << "streamContent" << QByteArray("POST")
                                << "/api/sessions/s1/stream"
                                << "" << QByteArray(R"({"content":"screen"})");
        QTest::newRow("question") << "postQuestion" << QByteArray("POST")
                                  << "/api/sessions/s1/questions"
                                  << "" << QByteArray(R"({"context":"ctx","question_text":"q?"})");
        QTest::newRow("expire") << "expireQuestion" << QByteArray("PATCH")
                                << "/api/sessions/s1/questions/q1"
                                << "" << QByteArray(R"({"status":"expired"})");
        QTest::newRow("reply") << "fetchReply" << QByteArray("GET")
                               << "/api/sessions/s1/questions/q1/reply"
                               << "timeout=0" << QByteArray();
        QTest::newRow("inputs") << "fetchInputs" << QByteArray("GET") << "/api/sessions/s1/inputs"
                                << "" << QByteArray();
        QTest::newRow("ack input")
            << "acknowledgeInput" << QByteArray("PATCH") << "/api/sessions/s1/inputs/i1"
            << "" << QByteArray(R"({"status":"delivered"})");
        QTest::newRow("ack command")
            << "acknowledgeCommand" << QByteArray("PATCH") << "/api/commands/c1"
            << "" << QByteArray(R"({"status":"delivered"})");
        QTest::newRow("ack command failed")
            << "acknowledgeCommand failed" << QByteArray("PATCH") << "/api/commands/c1"
            << ""
            << QByteArray(R"({"error_message":"Project not found locally","status":"failed"})");
        QTest::newRow("pending commands")
            << "fetchPendingCommands" << QByteArray("GET") << "/api/commands/pending"
            << "" << QByteArray();
        QTest::newRow("projects") << "uploadProjects" << QByteArray("PUT") << "/api/projects"
                                  << "" << QByteArray(R"({"projects":[]})");
    }

    void wireFormat() {
        QFETCH(QString, operation);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QString, query);
        QFETCH(QByteArray, body);
        call(operation);
        QCOMPARE(m_server->requests().size(), 1);
        const RecordedRequest request = m_server->requests().first();
        QCOMPARE(request.method, method);
        QCOMPARE(request.path, path);
        QCOMPARE(request.query.toString(), query);
        QCOMPARE(request.headers.value("authorization"), QByteArray("Bearer qk_secret"));
        if (body.isEmpty()) {
            QVERIFY(request.body.isEmpty());
        } else {
            QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
            QCOMPARE(request.json().toJson(QJsonDocument::Compact), body);
        }
    }

    void results_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");

        const QString create = QStringLiteral("createServerSession");
        const QString reply = QStringLiteral("fetchReply");
        const QString inputs = QStringLiteral("fetchInputs");
        const QString pending = QStringLiteral("fetchPendingCommands");
        const QByteArray idBody = R"({"id":"abc"})";
        QTest::newRow("session 200") << create << 200 << idBody << "abc";
        QTest::newRow("session 201") << create << 201 << idBody << "abc";
        QTest::newRow("session 202") << create << 202 << idBody << "<none>";
        QTest::newRow("session numeric id")
            << create << 201 << QByteArray(R"({"id":7})") << "<none>";
        QTest::newRow("session malformed")
            << create << 201 << QByteArray(R"({"id":"ab)") << "<none>";
        QTest::newRow("session empty id")
            << create << 201 << QByteArray(R"({"id":""})") << "<none>";
        QTest::newRow("question 201") << "postQuestion" << 201 << idBody << "abc";
        QTest::newRow("question 200") << "postQuestion" << 200 << idBody << "<none>";
        QTest::newRow("reply") << reply << 200 << QByteArray(R"({"reply_text":"y"})") << "y";
        QTest::newRow("reply not text")
            << reply << 200 << QByteArray(R"({"reply_text":1})") << "<none>";
        QTest::newRow("reply 204") << reply << 204 << QByteArray() << "<none>";
        QTest::newRow("inputs") << inputs << 200 << QByteArray(R"([{"id":"i","input_text":"t"}])")
                                << R"([{"id":"i","input_text":"t"}])";
        QTest::newRow("inputs mixed") << inputs << 200 << QByteArray(R"([{"id":"i"},3])") << "[]";
        QTest::newRow("commands 201") << pending << 201 << QByteArray("[]") << "<none>";
        QTest::newRow("commands empty") << pending << 200 << QByteArray("[]") << "[]";
        QTest::newRow("upload 201") << "uploadProjects" << 201 << QByteArray() << "201";
    }

    void results() {
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        for (const QByteArray method : {"GET", "POST", "PUT"})
            m_server->on(method, QRegularExpression(QStringLiteral(".*")),
                         [&](const RecordedRequest &) { return FakeResponse::raw(status, body); });
        QCOMPARE(call(operation), expected);
    }

    void unparseableUrlSendsNothing() {
        LogCapture log;
        m_client->setServerUrl(QString());
        QCOMPARE(call(QStringLiteral("createServerSession")), QStringLiteral("<none>"));
        m_client->setServerUrl(QStringLiteral("http://[::1"));
        QCOMPARE(call(QStringLiteral("uploadProjects")), QStringLiteral("0"));
        QVERIFY(m_server->requests().isEmpty());
        QVERIFY(log.messages().isEmpty());
    }

private:
    // Runs one endpoint operation by name with fixed arguments; returns its result as text.
    QString call(const QString &op) {
        const auto text = [](const std::optional<QString> &value) {
            return value ? *value : QStringLiteral("<none>");
        };
        if (op == QLatin1String("createServerSession"))
            return text(awaitTask(m_client->createServerSession(
                QStringLiteral("Quillet Mac"), QStringLiteral("web"), QStringLiteral("web:0.1"))));
        if (op == QLatin1String("createServerSession bare"))
            return text(awaitTask(m_client->createServerSession(QStringLiteral("Quillet Mac"),
                                                                std::nullopt, std::nullopt)));
        if (op == QLatin1String("closeServerSession"))
            awaitTask(m_client->closeServerSession(QStringLiteral("s1")));
        else if (op == QLatin1String("streamContent"))
            awaitTask(m_client->streamContent(QStringLiteral("s1"), QStringLiteral("screen")));
        else if (op == QLatin1String("postQuestion"))
            return text(awaitTask(m_client->postQuestion(
                QStringLiteral("s1"), QStringLiteral("ctx"), QStringLiteral("q?"))));
        else if (op == QLatin1String("expireQuestion"))
            awaitTask(m_client->expireQuestion(QStringLiteral("s1"), QStringLiteral("q1")));
        else if (op == QLatin1String("fetchReply"))
            return text(
                awaitTask(m_client->fetchReply(QStringLiteral("s1"), QStringLiteral("q1"))));
        else if (op == QLatin1String("fetchInputs"))
            return QString::fromUtf8(
                QJsonDocument(awaitTask(m_client->fetchInputs(QStringLiteral("s1"))))
                    .toJson(QJsonDocument::Compact));
        else if (op == QLatin1String("acknowledgeInput"))
            awaitTask(m_client->acknowledgeInput(QStringLiteral("s1"), QStringLiteral("i1")));
        else if (op == QLatin1String("acknowledgeCommand failed"))
            awaitTask(m_client->acknowledgeCommand(QStringLiteral("c1"), QStringLiteral("failed"),
                                                   QStringLiteral("Project not found locally")));
        else if (op == QLatin1String("acknowledgeCommand"))
            awaitTask(m_client->acknowledgeCommand(QStringLiteral("c1"),
                                                   QStringLiteral("delivered"), std::nullopt));
        else if (op == QLatin1String("fetchPendingCommands")) {
            const auto commands = awaitTask(m_client->fetchPendingCommands());
            return commands
                       ? QString::fromUtf8(QJsonDocument(*commands).toJson(QJsonDocument::Compact))
                       : QStringLiteral("<none>");
        } else if (op == QLatin1String("uploadProjects"))
            return QString::number(awaitTask(m_client->uploadProjects(QJsonArray())));
        else
            qFatal("unknown operation");
        return {};
    }

    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<AgentClient> m_client;
};

QUILLET_TEST_GUILESS_MAIN(TestAgentClient)
#include "tst_agentclient.moc"
