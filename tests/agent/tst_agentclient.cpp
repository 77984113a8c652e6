#include "agent/AgentClient.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonObject>

using namespace quillet;
using namespace quillet::test;

// What the engine's client makes of each answer a server could give; its requests themselves are
// checked against the real relay in tests/server.
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

    void results_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");

        const QString create = QStringLiteral("createServerSession");
        const QString reply = QStringLiteral("fetchReply");
        const QString inputs = QStringLiteral("fetchInputs");
        const QString pending = QStringLiteral("fetchPendingCommands");
        const QByteArray idBody = "{\"id\":\"abc\"}";
        QTest::newRow("session 200") << create << 200 << idBody << "abc";
        QTest::newRow("session 202") << create << 202 << idBody << "<none>";
        QTest::newRow("session numeric id")
            << create << 201 << QByteArray("{\"id\":7}") << "<none>";
        QTest::newRow("session empty id")
            << create << 201 << QByteArray("{\"id\":\"\"}") << "<none>";
        QTest::newRow("reply not text")
            << reply << 200 << QByteArray("{\"reply_text\":1}") << "<none>";
        QTest::newRow("reply 204") << reply << 204 << QByteArray() << "<none>";
        QTest::newRow("inputs mixed") << inputs << 200 << QByteArray("[{\"id\":\"i\"},3]") << "[]";
        QTest::newRow("commands 201") << pending << 201 << QByteArray("[]") << "<none>";
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
        const QString s1 = QStringLiteral("s1");
        if (op == QLatin1String("createServerSession"))
            return text(awaitTask(m_client->createServerSession(
                QStringLiteral("Quillet Mac"), QStringLiteral("web"), QStringLiteral("web:0.1"))));
        if (op == QLatin1String("fetchReply"))
            return text(awaitTask(m_client->fetchReply(s1, QStringLiteral("q1"))));
        if (op == QLatin1String("fetchInputs"))
            return QString::fromUtf8(
                QJsonDocument(awaitTask(m_client->fetchInputs(s1))).toJson(QJsonDocument::Compact));
        if (op == QLatin1String("fetchPendingCommands")) {
            const auto commands = awaitTask(m_client->fetchPendingCommands());
            return commands
                       ? QString::fromUtf8(QJsonDocument(*commands).toJson(QJsonDocument::Compact))
                       : QStringLiteral("<none>");
        }
        return QString::number(awaitTask(m_client->uploadProjects(QJsonArray())));
    }

    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<AgentClient> m_client;
};

QUILLET_TEST_GUILESS_MAIN(TestAgentClient)
#include "tst_agentclient.moc"
