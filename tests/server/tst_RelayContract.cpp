#include "agent/AgentClient.h"
#include "api/APIError.h"
#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "api/KeychainService.h"
#include "common/Settings.h"
#include "support/AwaitTask.h"
#include "support/HttpClient.h"
#include "support/RelayProcess.h"
#include "support/TestEnvironment.h"

using namespace quillet;
using namespace quillet::test;

// The clients' own code in this process against the relay: every operation of the agent
// protocol and of the account client, decoded as the clients decode it. The relay must answer
// exactly what they rely on, not merely what its own tests expect.
class TestRelayContract : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void accountClient();
    void agentProtocol();

private:
    std::unique_ptr<RelayProcess> m_relay;
    std::unique_ptr<APIService> m_api;
    std::unique_ptr<AuthViewModel> m_model;
    QString m_device;
};

void TestRelayContract::initTestCase() {
    if (const QString why = RelayProcess::storeUnavailable(); !why.isEmpty())
        QSKIP(qPrintable(why));
    m_relay = std::make_unique<RelayProcess>();
    QVERIFY(m_relay->start());
    m_api = std::make_unique<APIService>(KeychainService::shared());
    m_model = std::make_unique<AuthViewModel>(*m_api);
    awaitTask(m_model->registerAccount(m_relay->baseUrl(), QStringLiteral("ann")));
    QVERIFY2(m_model->isAuthenticated(), qPrintable(m_model->errorMessage().value_or("")));
    QVERIFY(!Settings::readTextOrEmpty(Settings::agentApiKey).isEmpty());
}

void TestRelayContract::cleanupTestCase() {
    m_model.reset();
    QCOMPARE(m_relay->stop(), 0);
}

void TestRelayContract::accountClient() {
    // Sign in again with the stored passkey; the session restores from the refresh token.
    awaitTask(m_model->signIn(m_relay->baseUrl()));
    QVERIFY2(m_model->isAuthenticated(), qPrintable(m_model->errorMessage().value_or("")));
    const RefreshResponse refreshed = awaitTask(m_api->refreshTokens());
    QVERIFY(!refreshed.accessToken.isEmpty() && !refreshed.refreshToken.isEmpty());

    const PairInitiateResponse pairing = awaitTask(m_api->initiatePairing());
    QCOMPARE(pairing.expiresIn, 300);
    HttpClient phone(m_relay->baseUrl());
    m_device =
        phone
            .json("POST", "/api/pair/complete",
                  {{"code", pairing.code}, {"device_name", "Pixel"}, {"device_type", "android"}})
            .text("device_token");
    const QList<PairedDeviceResponse> devices = awaitTask(m_api->pairedDevices());
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().deviceName, QStringLiteral("Pixel"));

    // A stale access token is refreshed once, transparently.
    KeychainService::shared().save(QStringLiteral("stale"), KeychainService::accessTokenKey);
    const ApiKeyCreatedResponse key = awaitTask(m_api->createApiKey(QStringLiteral("spare")));
    QCOMPARE(key.label, QStringLiteral("spare"));
    awaitTask(m_api->deleteApiKey(key.id));
    try {
        awaitTask(m_api->deletePairedDevice(QStringLiteral("unknown")));
        QFAIL("deleting an unknown device succeeded");
    } catch (const APIError &error) {
        QVERIFY(QString::fromUtf8(error.what()).startsWith("HTTP error 404"));
    }
}

void TestRelayContract::agentProtocol() {
    AgentClient agent;
    agent.setServerUrl(m_relay->baseUrl());
    agent.setApiKey(Settings::readTextOrEmpty(Settings::agentApiKey));
    HttpClient phone(m_relay->baseUrl());

    const auto sid = awaitTask(agent.createServerSession("Quillet Mac", QStringLiteral("Work"),
                                                         QStringLiteral("work:0.1")));
    QVERIFY(sid);
    awaitTask(agent.streamContent(*sid, QStringLiteral("$ make\nok")));
    QCOMPARE(phone.get("/api/sessions/" + *sid, m_device).text("content"),
             QStringLiteral("$ make\nok"));
    const auto qid = awaitTask(
        agent.postQuestion(*sid, QStringLiteral("ctx"), QStringLiteral("Proceed? (y/n)")));
    QVERIFY(qid);
    QVERIFY(!awaitTask(agent.fetchReply(*sid, *qid)));
    phone.json("POST", "/api/questions/" + *qid + "/reply", {{"reply_text", "\t"}}, m_device);
    QCOMPARE(awaitTask(agent.fetchReply(*sid, *qid)), std::optional<QString>("\t"));

    // The expiry of an answered question is refused, and the reply stays.
    awaitTask(agent.expireQuestion(*sid, *qid));
    QCOMPARE(awaitTask(agent.fetchReply(*sid, *qid)), std::optional<QString>("\t"));

    phone.json("POST", "/api/sessions/" + *sid + "/inputs", {{"input_text", "ls"}}, m_device);
    phone.json("POST", "/api/sessions/" + *sid + "/inputs", {{"key", "Escape"}}, m_device);
    const QJsonArray inputs = awaitTask(agent.fetchInputs(*sid));
    QCOMPARE(inputs.size(), 2);
    QCOMPARE(inputs[0]["input_text"].toString(), QStringLiteral("ls"));
    QCOMPARE(inputs[1]["key"].toString(), QStringLiteral("Escape"));
    QVERIFY(!inputs[1].toObject().contains("input_text"));
    awaitTask(agent.acknowledgeInput(*sid, inputs[0]["id"].toString()));
    QCOMPARE(awaitTask(agent.fetchInputs(*sid)).size(), 1);

    const QString project = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QJsonArray projects{QJsonObject{{"id", project},
                                          {"name", "Work"},
                                          {"directory", "/w"},
                                          {"tmux_session_name", "work"},
                                          {"launch_command", ""},
                                          {"tool", "codex"},
                                          {"auto_launch", false},
                                          {"is_running", true}}};
    QCOMPARE(awaitTask(agent.uploadProjects(projects)), 200);
    const QString command = phone
                                .json("POST", "/api/commands",
                                      {{"project_id", project}, {"command_type", "stop"}}, m_device)
                                .text("id");
    const auto pending = awaitTask(agent.fetchPendingCommands());
    QVERIFY(pending && pending->size() == 1);
    QCOMPARE((*pending)[0]["project_id"].toString(), project);
    awaitTask(agent.acknowledgeCommand(command, "delivered", std::nullopt));
    awaitTask(agent.acknowledgeCommand(command, "failed", QStringLiteral("Project not found")));
    const HttpAnswer status = phone.get("/api/commands/" + command, m_device);
    QCOMPARE(status.text("status"), QStringLiteral("failed"));
    QCOMPARE(status.text("error_message"), QStringLiteral("Project not found"));
    QVERIFY(awaitTask(agent.fetchPendingCommands())->isEmpty());

    awaitTask(agent.closeServerSession(*sid));
    QCOMPARE(phone.get("/api/sessions/" + *sid, m_device).text("status"), QStringLiteral("closed"));
    QVERIFY(!awaitTask(agent.postQuestion(*sid, QString(), QStringLiteral("late?"))));

    // Signing out revokes the agent key: the engine's next request is refused.
    awaitTask(m_model->signOutAndWait());
    QVERIFY(!awaitTask(agent.fetchPendingCommands()));
    QCOMPARE(awaitTask(agent.uploadProjects(projects)), 401);
}

QUILLET_TEST_GUILESS_MAIN(TestRelayContract)
#include "tst_RelayContract.moc"
