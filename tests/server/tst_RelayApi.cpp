#include "common/Base64Url.h"
#include "server/EcKey.h"
#include "server/Secrets.h"
#include "support/FakeServer.h"
#include "support/HttpClient.h"
#include "support/NodeScript.h"
#include "support/PostgresServer.h"
#include "support/RelayProcess.h"
#include "support/TestEnvironment.h"
#include "support/WebPushReader.h"

#include <QCborMap>
#include <QCborValue>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <csignal>
#include <memory>

using namespace quillet;
using namespace quillet::test;

namespace {

// The software authenticator's origin for the relay's default rp id here ("localhost").
const QString origin = QStringLiteral("https://localhost");

// One ceremony of an authenticator on Node's own crypto: passkeys made by code we did not write
// for the relay.
QJsonObject ceremony(const QJsonObject &request) {
    return runNodeScript(
        QStringLiteral(QUILLET_TEST_SUPPORT_DIR "/authenticator/authenticator.mjs"), request);
}

// Everything one user holds: the passkey, the three kinds of credential, and one of each object.
struct Account {
    QJsonObject privateKey;
    QString credentialId;
    QString userId;
    QString access;
    QString refresh;
    QString apiKey;
    QString apiKeyId;
    QString device;
    QString deviceId;
    QString session;
    QString question;
    QString input;
    QString project;
    QString command;
};

// A self-signed certificate, made by the openssl command: its own authority.
bool makeCertificate(const QString &stem, const QString &subjectAltName) {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", stem + ".key", "-out", stem + ".pem", "-days", "1", "-subj",
                   "/CN=Quillet test push service", "-addext", "subjectAltName=" + subjectAltName});
    return openssl.waitForFinished(30000) && openssl.exitCode() == 0;
}

// The body of register/complete or authenticate/complete for what the authenticator made.
QJsonObject credentialBody(const QString &id, const QJsonObject &made) {
    QJsonObject response;
    for (const char *member :
         {"clientDataJSON", "attestationObject", "authenticatorData", "signature"})
        if (made.contains(member))
            response[member] = made[member];
    return {
        {"credential",
         QJsonObject{{"id", id}, {"rawId", id}, {"type", "public-key"}, {"response", response}}}};
}

// A request left running (a held reply, an event stream) with its bearer credential.
std::unique_ptr<QNetworkReply> startGet(QNetworkAccessManager &network, const QString &url,
                                        const QString &token) {
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    return std::unique_ptr<QNetworkReply>(network.get(request));
}

// The agent's question on `session`; its id.
QString ask(HttpClient &http, const QString &session, const QString &text, const QString &key) {
    return http
        .json("POST", "/api/sessions/" + session + "/questions",
              {{"context", ""}, {"question_text", text}}, key)
        .text("id");
}

// The phone's reply to `question`; the status it got.
int answer(HttpClient &http, const QString &question, const QString &text, const QString &device) {
    return http
        .json("POST", "/api/questions/" + question + "/reply", {{"reply_text", text}}, device)
        .status;
}

// The columns of a request table: what is sent, with which kind of credential, and the status.
void addRequestColumns() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
}

void row(const char *tag, const char *method, const char *path, const QByteArray &body,
         const char *kind, int status = 404) {
    QTest::newRow(tag) << QByteArray(method) << QString::fromUtf8(path) << body
                       << QString::fromUtf8(kind) << status;
}

} // namespace

// The relay over HTTP, as a process: what the agent, the desktop account code and the phone
// send, and every way of sending it wrong.
class TestRelayApi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void passkeys_data();
    void passkeys();
    void badRequests_data();
    void badRequests();
    void usersAreIsolated_data();
    void usersAreIsolated();
    void repliesReachTheAgent();
    void severalInstances();
    void slowGreedyAndVanishingClients();
    void webPush();
    void pairingIsThrottled();
    void documentedRoutesAnswer();
    void commandLine_data();
    void commandLine();

private:
    Account makeAccount(HttpClient &http, const QString &name);
    QString credential(const Account &account, const QString &kind) const;
    QString expand(QString path, const Account &account) const;

    std::unique_ptr<RelayProcess> m_relay;
    std::unique_ptr<HttpClient> m_http;
    Account m_ann;
    Account m_bob;
};

void TestRelayApi::initTestCase() {
    QProcess probe;
    probe.start(QStringLiteral("node"), {QStringLiteral("--version")});
    if (!probe.waitForFinished() || probe.exitCode() != 0)
        QSKIP("node is not installed: the passkeys of these tests come from a Node script");
    if (const QString why = RelayProcess::storeUnavailable(); !why.isEmpty())
        QSKIP(qPrintable(why));
    qputenv("QUILLET_SERVER_HEADER_TIMEOUT_MS", "800");
    // The relay trusts the push services of webPush() through this file alone: one for
    // 127.0.0.1, and one for another name.
    const QString root = TestEnvironment::current()->root();
    QVERIFY(makeCertificate(root + "/push", "IP:127.0.0.1"));
    QVERIFY(makeCertificate(root + "/stranger", "DNS:push.example.net"));
    QFile trusted(root + "/trusted.pem");
    QVERIFY(trusted.open(QIODevice::WriteOnly));
    for (const char *name : {"/push.pem", "/stranger.pem"}) {
        QFile certificate(root + name);
        QVERIFY(certificate.open(QIODevice::ReadOnly));
        trusted.write(certificate.readAll());
    }
    trusted.close();
    qputenv("SSL_CERT_FILE", QFile::encodeName(trusted.fileName()));
    m_relay = std::make_unique<RelayProcess>(
        QStringList{"--open-registration", "--push-hosts", "127.0.0.1,*.push.apple.com",
                    "--vapid-subject", "mailto:ops@quillet.test"});
    QVERIFY(m_relay->start());
    m_http = std::make_unique<HttpClient>(m_relay->baseUrl());
    m_ann = makeAccount(*m_http, QStringLiteral("ann"));
    m_bob = makeAccount(*m_http, QStringLiteral("bob"));
    QVERIFY(!m_ann.command.isEmpty() && !m_bob.command.isEmpty());
}

void TestRelayApi::cleanupTestCase() {
    if (!m_relay)
        return;
    const QString log = m_relay->log();
    QCOMPARE(m_relay->stop(), 0);
    // Tokens and keys never reach the log, and the store keeps their hashes only.
    const QByteArray data = m_relay->storedData();
    QVERIFY(data.contains(RelayProcess::onPostgres() ? "access_tokens" : "SQLite format"));
    for (const Account *account : {&m_ann, &m_bob})
        for (const QString &secret :
             {account->access, account->refresh, account->apiKey, account->device})
            QVERIFY2(!log.contains(secret) && !data.contains(secret.toUtf8()), qPrintable(log));
    // A phone's own words cannot forge a log line or drive the operator's terminal.
    QVERIFY2(!log.contains(QStringLiteral("\nforged")) && !log.contains(QChar(0x1b)),
             qPrintable(log));
}

Account TestRelayApi::makeAccount(HttpClient &http, const QString &name) {
    Account account;
    const HttpAnswer options =
        http.json("POST", "/api/auth/passkey/register/options", {{"username", name}});
    const QJsonObject made = ceremony({{"ceremony", "create"},
                                       {"rpId", options.object()["rp"].toObject()["id"]},
                                       {"origin", origin},
                                       {"challenge", options.object()["challenge"]}});
    account.privateKey = made["privateKey"].toObject();
    account.credentialId = made["credentialId"].toString();
    const HttpAnswer login = http.json("POST", "/api/auth/passkey/register/complete",
                                       credentialBody(made["credentialId"].toString(), made));
    account.userId = login.text("user_id");
    account.access = login.text("access_token");
    account.refresh = login.text("refresh_token");
    const HttpAnswer key =
        http.json("POST", "/api/auth/api-keys", {{"label", "QuilletMac-test"}}, account.access);
    account.apiKey = key.text("key");
    account.apiKeyId = key.text("id");
    const QString code = http.json("POST", "/api/pair/initiate", {}, account.access).text("code");
    const HttpAnswer paired = http.json("POST", "/api/pair/complete",
                                        {{"code", code},
                                         {"device_name", name + "'s phone\nforged: log line"},
                                         {"device_type", "android\u001b[2J"}});
    account.device = paired.text("device_token");
    account.deviceId = paired.text("device_id");

    // One object of each kind, made through the routes that make them.
    account.session =
        http.json("POST", "/api/sessions",
                  {{"agent_label", "Quillet Mac"}, {"pane_target", "work:0.1"}}, account.apiKey)
            .text("id");
    account.question = ask(http, account.session, "Proceed? (y/n)", account.apiKey);
    account.input = http.json("POST", "/api/sessions/" + account.session + "/inputs",
                              {{"input_text", "ls"}}, account.device)
                        .text("id");
    account.project = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QJsonObject project{{"id", account.project},      {"name", "Work"},
                              {"directory", "/tmp/w"},      {"tmux_session_name", "work"},
                              {"launch_command", "claude"}, {"tool", "claude-code"},
                              {"auto_launch", false},       {"is_running", true}};
    http.json("PUT", "/api/projects", {{"projects", QJsonArray{project}}}, account.apiKey);
    account.command =
        http.json("POST", "/api/commands",
                  {{"project_id", account.project}, {"command_type", "launch"}}, account.device)
            .text("id");
    return account;
}

QString TestRelayApi::credential(const Account &account, const QString &kind) const {
    return QMap<QString, QString>{
        {"agent", account.apiKey}, {"user", account.access}, {"device", account.device}}
        .value(kind);
}

QString TestRelayApi::expand(QString path, const Account &account) const {
    return path.replace("{session}", account.session)
        .replace("{question}", account.question)
        .replace("{input}", account.input)
        .replace("{command}", account.command)
        .replace("{key}", account.apiKeyId)
        .replace("{device}", account.deviceId)
        .replace("{project}", account.project);
}

void TestRelayApi::passkeys_data() {
    // The ceremony, what the Node authenticator is asked to do differently, what is done to its
    // answer ("challenge": one the relay never issued; "signature", "authData": a bit flipped;
    // "replay": accepted, then signed anew on the same challenge (with a higher count); "falls",
    // "equal", "gone": a genuine sign-in first, then one with a lower, the same, no count), the
    // status, and the reason a refused registration gives.
    QTest::addColumn<QString>("ceremony");
    QTest::addColumn<QJsonObject>("changes");
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    const QString create("create"), get("get");
    const auto change = [](const char *key, const QJsonValue &value) {
        return QJsonObject{{QLatin1String(key), value}};
    };
    const QJsonObject none, packed = change("attestation", "packed");
    const QJsonObject otherOrigin = change("origin", "https://localhost.evil");
    const QJsonObject otherRp = change("rpId", "evil.example");
    const QJsonObject absent = change("userPresent", false);
    QTest::newRow("registration") << create << none << "" << 200 << "";
    QTest::newRow("packed self-attestation") << create << packed << "" << 200 << "";
    QTest::newRow("registration: replayed answer")
        << create << none << "replay" << 400 << "unknown";
    QTest::newRow("registration: other origin") << create << otherOrigin << "" << 400 << "origin";
    QTest::newRow("registration: other rp id") << create << otherRp << "" << 400 << "rp id hash";
    QTest::newRow("registration: wrong type")
        << create << change("type", "webauthn.get") << "" << 400 << "type";
    QTest::newRow("registration: user absent") << create << absent << "" << 400 << "presence";
    QTest::newRow("registration: key not on P-256")
        << create << change("offCurve", true) << "" << 400 << "not a point on P-256";
    QTest::newRow("packed: altered authenticator data")
        << create << packed << "authData" << 400 << "self-attestation signature is invalid";
    // Ann's passkey has signed nothing yet: a passkey without a counter stays at 0.
    QTest::newRow("sign-in without counter") << get << change("signCount", 0) << "" << 200 << "";
    QTest::newRow("sign-in") << get << none << "" << 200 << "";
    QTest::newRow("sign-in: challenge never issued") << get << none << "challenge" << 401 << "";
    QTest::newRow("sign-in: other rp id") << get << otherRp << "" << 401 << "";
    QTest::newRow("sign-in: other origin") << get << otherOrigin << "" << 401 << "";
    QTest::newRow("sign-in: wrong type")
        << get << change("type", "webauthn.create") << "" << 401 << "";
    QTest::newRow("sign-in: user absent") << get << absent << "" << 401 << "";
    QTest::newRow("sign-in: altered signature") << get << none << "signature" << 401 << "";
    QTest::newRow("sign-in: altered authenticator data") << get << none << "authData" << 401 << "";
    QTest::newRow("sign-in: replayed answer") << get << none << "replay" << 401 << "";
    QTest::newRow("sign-in: count falls") << get << none << "falls" << 401 << "";
    QTest::newRow("sign-in: equal count") << get << none << "equal" << 401 << "";
    QTest::newRow("sign-in: counter gone") << get << none << "gone" << 401 << "";
}

void TestRelayApi::passkeys() {
    QFETCH(QString, ceremony);
    QFETCH(QJsonObject, changes);
    QFETCH(QString, tamper);
    QFETCH(int, status);
    QFETCH(QString, reason);
    static int count = 0;
    count += 10;
    const bool registering = ceremony == QLatin1String("create");
    const QString route = QStringLiteral("/api/auth/passkey/%1/complete")
                              .arg(registering ? "register" : "authenticate");
    // The authenticator's request on fresh options, and the body its answer makes.
    const auto fresh = [&](int signCount) {
        const HttpAnswer options =
            registering ? m_http->json("POST", "/api/auth/passkey/register/options",
                                       {{"username", QTest::currentDataTag()}})
                        : m_http->send("POST", "/api/auth/passkey/authenticate/options");
        return QJsonObject{{"ceremony", ceremony},
                           {"rpId", "localhost"},
                           {"origin", origin},
                           {"challenge", options.text("challenge")},
                           {"privateKey", m_ann.privateKey},
                           {"signCount", signCount}};
    };
    const auto sign = [&](const QJsonObject &request) {
        QJsonObject made = ::ceremony(request);
        const auto flip = [](const QByteArray &bytes, qsizetype at) {
            QByteArray flipped = bytes;
            flipped[at] = char(flipped[at] ^ 1);
            return flipped;
        };
        const auto decoded = [&](const char *member) {
            return Base64Url::decode(made[member].toString()).value_or(QByteArray());
        };
        if (tamper == QLatin1String("signature"))
            made["signature"] = Base64Url::encode(flip(decoded("signature"), 20));
        if (tamper == QLatin1String("authData") && !registering) // its count, under the signature
            made["authenticatorData"] = Base64Url::encode(flip(decoded("authenticatorData"), 36));
        if (tamper == QLatin1String("authData") && registering) {
            QCborMap object = QCborValue::fromCbor(decoded("attestationObject")).toMap();
            object.insert(QStringLiteral("authData"),
                          flip(object.value(QStringLiteral("authData")).toByteArray(), 36));
            made["attestationObject"] = Base64Url::encode(QCborValue(object).toCbor());
        }
        return credentialBody(registering ? made["credentialId"].toString() : m_ann.credentialId,
                              made);
    };

    if (tamper == QLatin1String("falls") || tamper == QLatin1String("equal") ||
        tamper == QLatin1String("gone"))
        QCOMPARE(m_http->json("POST", route, sign(fresh(count))).status, 200);
    QJsonObject request = fresh(tamper == QLatin1String("falls")  ? count - 1
                                : tamper == QLatin1String("gone") ? 0
                                                                  : count);
    if (tamper == QLatin1String("challenge"))
        request["challenge"] = Base64Url::encode(QByteArray(32, 'x'));
    for (auto it = changes.begin(); it != changes.end(); ++it)
        request.insert(it.key(), it.value());
    HttpAnswer answer = m_http->json("POST", route, sign(request));
    if (tamper == QLatin1String("replay")) {
        QCOMPARE(answer.status, 200);
        request["signCount"] = count + 5;
        answer = m_http->json("POST", route, sign(request));
    }
    QVERIFY2(answer.status == status && answer.text("error").contains(reason), answer.body);
    if (status == 200 && !registering)
        QCOMPARE(answer.text("user_id"), m_ann.userId);
}

void TestRelayApi::badRequests_data() {
    addRequestColumns();
    row("not JSON", "POST", "/api/sessions", "{agent_label", "agent", 400);
    row("label a number", "POST", "/api/sessions", R"({"agent_label":7})", "agent", 400);
    row("question text missing", "POST", "/api/sessions/{session}/questions", R"({"context":""})",
        "agent", 400);
    row("session reopened", "PATCH", "/api/sessions/{session}", R"({"status":"active"})", "agent",
        400);
    row("command status unknown", "PATCH", "/api/commands/{command}", R"({"status":"done"})",
        "agent", 400);
    row("projects not a list", "PUT", "/api/projects", R"({"projects":{}})", "agent", 400);
    row("key not on the list", "POST", "/api/sessions/{session}/inputs", R"({"key":"F13"})",
        "device", 400);
    row("text and key at once", "POST", "/api/sessions/{session}/inputs",
        R"({"key":"Enter","input_text":"y"})", "device", 400);
    row("command type unknown", "POST", "/api/commands",
        R"({"project_id":"{project}","command_type":"reboot"})", "device", 400);
    row("method not allowed", "DELETE", "/api/sessions", "", "agent", 405);
    row("dot segment", "GET", "/api/sessions/%2E%2E/inputs", "", "agent", 404);
    row("body over the limit", "POST", "/api/sessions/{session}/stream",
        QByteArray(R"({"content":")") + QByteArray(2 * 1024 * 1024, 'x') + "\"}", "agent", 413);
    row("body over the limit, in chunks", "POST", "/api/sessions/{session}/stream", "chunked",
        "agent", 413);
}

void TestRelayApi::badRequests() {
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QString, kind);
    QFETCH(int, status);
    const QByteArray before = m_http->get("/api/sessions", m_ann.device).body;
    body.replace("{project}", m_ann.project.toUtf8());
    if (status == 413) {
        // Refused from the header (or the first chunks), before the whole body is read: sent
        // over a bare socket, since an HTTP client that is still uploading may miss the answer.
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_relay->port());
        QVERIFY(socket.waitForConnected());
        QByteArray head = method + " " + expand(path, m_ann).toUtf8() +
                          " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + m_ann.apiKey.toUtf8() +
                          "\r\nContent-Type: application/json\r\n";
        if (body == "chunked") {
            socket.write(head + "Transfer-Encoding: chunked\r\n\r\n");
            for (int i = 0; i < 40 && socket.state() == QTcpSocket::ConnectedState; ++i) {
                socket.write("10000\r\n" + QByteArray(0x10000, 'x') + "\r\n");
                socket.waitForBytesWritten(1000);
            }
        } else {
            socket.write(head + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
                         body.left(1000));
        }
        QVERIFY(QTest::qWaitFor(
            [&] {
                return socket.bytesAvailable() > 0 || socket.state() != QTcpSocket::ConnectedState;
            },
            10000));
        QVERIFY2(socket.readAll().startsWith("HTTP/1.1 413"), "no 413");
        QCOMPARE(m_http->get("/api/sessions", m_ann.device).body, before);
        return;
    }
    const HttpAnswer answer =
        m_http->send(method, expand(path, m_ann), body, credential(m_ann, kind));
    QVERIFY2(answer.status == status, answer.body.constData());
    QVERIFY(!answer.text("error").isEmpty());
    // A refused request changes nothing.
    QCOMPARE(m_http->get("/api/sessions", m_ann.device).body, before);
    QCOMPARE(m_http->get("/api/health").status, 200);
}

void TestRelayApi::usersAreIsolated_data() {
    // Bob aims at Ann's objects: they do not exist for him.
    addRequestColumns();
    row("close session", "PATCH", "/api/sessions/{session}", R"({"status":"closed"})", "agent");
    row("stream", "POST", "/api/sessions/{session}/stream", R"({"content":"mine now"})", "agent");
    row("post question", "POST", "/api/sessions/{session}/questions",
        R"({"context":"","question_text":"?"})", "agent");
    row("expire question", "PATCH", "/api/sessions/{session}/questions/{question}",
        R"({"status":"expired"})", "agent");
    row("read reply", "GET", "/api/sessions/{session}/questions/{question}/reply", "", "agent");
    row("read inputs", "GET", "/api/sessions/{session}/inputs", "", "agent");
    row("deliver input", "PATCH", "/api/sessions/{session}/inputs/{input}",
        R"({"status":"delivered"})", "agent");
    row("acknowledge command", "PATCH", "/api/commands/{command}", R"({"status":"failed"})",
        "agent");
    row("delete API key", "DELETE", "/api/auth/api-keys/{key}", "", "user");
    row("remove device", "DELETE", "/api/paired-devices/{device}", "", "user");
    row("read session", "GET", "/api/sessions/{session}", "", "device");
    row("answer question", "POST", "/api/questions/{question}/reply", R"({"reply_text":"n"})",
        "device");
    row("send input", "POST", "/api/sessions/{session}/inputs", R"({"key":"Ctrl-C"})", "device");
    row("launch project", "POST", "/api/commands",
        R"({"project_id":"{project}","command_type":"stop"})", "device");
    row("read command", "GET", "/api/commands/{command}", "", "device");
}

void TestRelayApi::usersAreIsolated() {
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QString, kind);
    QFETCH(int, status);
    body.replace("{project}", m_ann.project.toUtf8());
    const HttpAnswer answer =
        m_http->send(method, expand(path, m_ann), body, credential(m_bob, kind));
    QVERIFY2(answer.status == status, answer.body.constData());

    // Nor do they show in his lists, and Ann's stay as they were.
    const QByteArray annIds[] = {m_ann.session.toUtf8(),  m_ann.question.toUtf8(),
                                 m_ann.deviceId.toUtf8(), m_ann.apiKeyId.toUtf8(),
                                 m_ann.project.toUtf8(),  m_ann.command.toUtf8(),
                                 m_ann.input.toUtf8()};
    const QByteArray bobSees =
        m_http->get("/api/sessions", m_bob.device).body +
        m_http->get("/api/questions", m_bob.device).body +
        m_http->get("/api/projects", m_bob.device).body +
        m_http->get("/api/paired-devices", m_bob.access).body +
        m_http->get("/api/auth/api-keys", m_bob.access).body +
        m_http->get("/api/commands/pending", m_bob.apiKey).body +
        m_http->get("/api/sessions/" + m_bob.session + "/inputs", m_bob.apiKey).body;
    for (const QByteArray &id : annIds)
        QVERIFY2(!bobSees.contains(id), id.constData());
    const HttpAnswer session = m_http->get("/api/sessions/" + m_ann.session, m_ann.device);
    QCOMPARE(session.text("status"), QStringLiteral("active"));
    QCOMPARE(session.text("content"), QString());
    QCOMPARE(m_http->get("/api/questions?status=pending", m_ann.device).array().size(), 1);
    QCOMPARE(m_http->get("/api/paired-devices", m_ann.access).array().size(), 1);
}

void TestRelayApi::repliesReachTheAgent() {
    // A relay of its own, stopped and started again below.
    const QString database = TestEnvironment::current()->root() + "/restart.sqlite";
    const QStringList push{"--vapid-subject", "mailto:ops@quillet.test"};
    auto relay =
        std::make_unique<RelayProcess>(QStringList{"--open-registration"} + push, database);
    QVERIFY(relay->start());
    HttpClient http(relay->baseUrl());
    const QString vapidKey = http.get("/api/push/vapid-public-key").text("public_key");
    QVERIFY(!vapidKey.isEmpty());
    const Account carol = makeAccount(http, QStringLiteral("carol"));
    const QString questions = "/api/sessions/" + carol.session + "/questions/";
    const QString reply = questions + carol.question + "/reply?timeout=";

    // Nothing yet: the agent's look (timeout 0) answers at once.
    QCOMPARE(http.get(reply + "0", carol.apiKey).status, 204);

    // A long hold answers as soon as the phone does, with the reply as typed: a tab is one.
    QNetworkAccessManager network;
    auto waiting = startGet(network, relay->baseUrl() + reply + "25", carol.apiKey);
    QTest::qWait(300);
    QVERIFY(!waiting->isFinished());
    QElapsedTimer held;
    held.start();
    QCOMPARE(answer(http, carol.question, "\t", carol.device), 200);
    QVERIFY(QTest::qWaitFor([&] { return waiting->isFinished(); }, 10000));
    QVERIFY(held.elapsed() < 5000);
    QCOMPARE(QJsonDocument::fromJson(waiting->readAll()).object()["reply_text"].toString(),
             QStringLiteral("\t"));
    // Answered once, and an agent that gives up on the question late takes nothing back.
    QCOMPARE(answer(http, carol.question, "no", carol.device), 409);
    QCOMPARE(http.json("PATCH", questions + carol.question, {{"status", "expired"}}, carol.apiKey)
                 .status,
             409);
    // A closed session takes no more questions.
    const QString closed =
        http.json("POST", "/api/sessions", {{"agent_label", "Quillet"}}, carol.apiKey).text("id");
    http.json("PATCH", "/api/sessions/" + closed, {{"status", "closed"}}, carol.apiKey);
    QCOMPARE(http.json("POST", "/api/sessions/" + closed + "/questions",
                       {{"context", ""}, {"question_text", "Late?"}}, carol.apiKey)
                 .status,
             409);

    // A phone that lost the answer to its send sends it again with the same Idempotency-Key:
    // taken once and answered as the first time, never typed twice nor refused as a repeat.
    HttpClient phone(relay->baseUrl());
    const QString inputs = "/api/sessions/" + carol.session + "/inputs";
    phone.headers["Idempotency-Key"] = "send-1";
    const HttpAnswer sent = phone.json("POST", inputs, {{"input_text", "once"}}, carol.device);
    QCOMPARE(sent.status, 201);
    QCOMPARE(phone.json("POST", inputs, {{"input_text", "once"}}, carol.device).object(),
             sent.object());
    QCOMPARE(http.get(inputs, carol.apiKey).array().size(), 2); // "ls" and "once"
    QCOMPARE(phone
                 .json("POST", "/api/sessions/" + closed + "/inputs", {{"input_text", "once"}},
                       carol.device)
                 .status,
             409);
    phone.headers["Idempotency-Key"] = "send-2";
    const QString twice = ask(http, carol.session, "Twice?", carol.apiKey);
    QCOMPARE(answer(phone, twice, "y", carol.device), 200);
    QCOMPARE(answer(phone, twice, "y", carol.device), 200);
    QCOMPARE(answer(http, twice, "y", carol.device), 409);

    // SIGTERM while a reply request is held: it is answered (not yet: 204) and the server
    // exits 0 well before the hold would have ended.
    const QString open = questions + ask(http, carol.session, "Later?", carol.apiKey) + "/reply";
    waiting = startGet(network, relay->baseUrl() + open + "?timeout=25", carol.apiKey);
    QTest::qWait(300);
    QElapsedTimer stopping;
    stopping.start();
    QCOMPARE(relay->stop(), 0);
    QVERIFY(stopping.elapsed() < 10000);
    QVERIFY(QTest::qWaitFor([&] { return waiting->isFinished(); }, 5000));
    QCOMPARE(waiting->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 204);

    // After a restart the reply and the phone's input are still there for the agent.
    relay = std::make_unique<RelayProcess>(push, database);
    QVERIFY(relay->start());
    HttpClient after(relay->baseUrl());
    // Browsers' subscriptions are bound to the key: it is made once, not at each start.
    QCOMPARE(after.get("/api/push/vapid-public-key").text("public_key"), vapidKey);
    QCOMPARE(after.get(reply + "0", carol.apiKey).text("reply_text"), QStringLiteral("\t"));
    QCOMPARE(after.get(inputs, carol.apiKey).array().size(), 2);
    // A phone whose last event id this database never had (restored, replaced) is told to read
    // its lists again and goes on from now, rather than waiting for that id to come round.
    for (const QByteArray &seen : {QByteArray("1"), QByteArray("999999")}) {
        QNetworkRequest resume{QUrl(relay->baseUrl() + "/api/events")};
        resume.setRawHeader("Authorization", "Bearer " + carol.device.toUtf8());
        resume.setRawHeader("Last-Event-ID", seen);
        const std::unique_ptr<QNetworkReply> stream(network.get(resume));
        QVERIFY(QTest::qWaitFor([&] { return stream->bytesAvailable() > 0; }, 5000));
        const QByteArray greeting = stream->readAll();
        QCOMPARE(greeting.contains("{\"reload\":true}"), seen != "1");
        QCOMPARE(greeting.contains("id: " + seen + "\n"), seen == "1");
    }
    QCOMPARE(relay->stop(), 0);

    // With a short retention the answered question goes; what still waits stays.
    relay = std::make_unique<RelayProcess>(QStringList{"--retention", "1s"}, database);
    QVERIFY(relay->start());
    HttpClient purged(relay->baseUrl());
    const auto gone = [&] { return purged.get(reply + "0", carol.apiKey).status == 404; };
    QVERIFY2(QTest::qWaitFor(gone, 15000), qPrintable(relay->log()));
    QTest::qWait(1500); // the waiting question is past the age too now
    QCOMPARE(purged.get(open + "?timeout=0", carol.apiKey).status, 204);
    QCOMPARE(purged.get(inputs, carol.apiKey).array().size(), 2);
    // Without a VAPID subject (its public URL is plain HTTP) it pages nobody.
    QCOMPARE(purged.get("/api/push/vapid-public-key").status, 503);

    // Refresh rotates; the old token used again ends the whole sign-in.
    const auto refresh = [&](const QString &token) {
        return purged.json("POST", "/api/auth/refresh", {{"refresh_token", token}});
    };
    const HttpAnswer rotated = refresh(carol.refresh);
    QVERIFY(rotated.status == 200 && rotated.text("refresh_token") != carol.refresh);
    QCOMPARE(purged.get("/api/paired-devices", rotated.text("access_token")).status, 200);
    QCOMPARE(refresh(carol.refresh).status, 401);
    QCOMPARE(refresh(rotated.text("refresh_token")).status, 401);
    QCOMPARE(purged.get("/api/paired-devices", rotated.text("access_token")).status, 401);
    QCOMPARE(purged.get("/api/paired-devices", carol.access).status, 401);
}

void TestRelayApi::severalInstances() {
    if (!RelayProcess::onPostgres())
        QSKIP("several instances share a PostgreSQL database (QUILLET_TEST_STORE=postgresql)");
    // Two instances starting together on an empty database agree on one schema.
    const QString fresh = TestEnvironment::current()->root() + "/fresh.sqlite";
    RelayProcess first({}, fresh), second({}, fresh);
    QVERIFY(first.launch() && second.launch());
    QVERIFY(first.waitUntilListening() && second.waitUntilListening());

    // Another instance on the relay's database; the agent talks to one, the phone to the other.
    auto other = std::make_unique<RelayProcess>(QStringList{}, m_relay->database());
    QVERIFY(other->start());
    HttpClient phone(other->baseUrl());
    const QString questions = "/api/sessions/" + m_bob.session + "/questions/";
    // Every wait below is well short of the event stream's heartbeat (15 s) and the agent's hold
    // (25 s): only a wake-up from the other instance answers in time.
    QNetworkAccessManager network;
    QByteArray events;
    auto stream = startGet(network, other->baseUrl() + "/api/events", m_bob.device);
    QObject::connect(stream.get(), &QNetworkReply::readyRead, stream.get(),
                     [&] { events += stream->readAll(); });
    QVERIFY(QTest::qWaitFor([&] { return events.contains("event: ready"); }, 5000));
    QTest::qWait(300); // past the stream's first read: now it waits

    // A question posted on one instance reaches the phone's stream on the other...
    const QString question = ask(*m_http, m_bob.session, "Across instances?", m_bob.apiKey);
    QVERIFY2(QTest::qWaitFor([&] { return events.contains(question.toUtf8()); }, 5000), events);
    // ...and the phone's reply there answers the agent held here.
    auto held = startGet(network, m_relay->baseUrl() + questions + question + "/reply?timeout=25",
                         m_bob.apiKey);
    QTest::qWait(300);
    QCOMPARE(answer(phone, question, "yes", m_bob.device), 200);
    QVERIFY(QTest::qWaitFor([&] { return held->isFinished(); }, 5000));
    QCOMPARE(QJsonDocument::fromJson(held->readAll()).object()["reply_text"].toString(),
             QStringLiteral("yes"));

    // PostgreSQL ends the listening connections. A question posted before the other instance
    // listens again still reaches its stream (it looks again once it does), and the next is heard
    // on the new connection.
    const QByteArray ended = PostgresServer::shared().query(
        "postgres", "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                    "application_name = 'quillet-listener'");
    QVERIFY2(ended.trimmed().toInt() >= 2, ended);
    for (const char *text : {"While nobody listened?", "Listening again?"}) {
        const QString id = ask(*m_http, m_bob.session, text, m_bob.apiKey);
        QVERIFY2(QTest::qWaitFor([&] { return events.contains(id.toUtf8()); }, 5000),
                 qPrintable(other->log()));
    }

    // The same for the connections that read and write: each instance opens its own again after
    // the request that found it gone.
    QVERIFY(PostgresServer::shared().query(
                "postgres", "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                            "application_name = 'quillet-server'") != "0\n");
    for (HttpClient *client : {m_http.get(), &phone}) {
        QVERIFY(QTest::qWaitFor(
            [&] { return client->get("/api/sessions", m_bob.device).status == 200; }, 5000));
    }

    // An instance killed the moment after it accepted a reply loses nothing: the agent asks
    // the survivor and gets it.
    const QString last = ask(*m_http, m_bob.session, "Still there?", m_bob.apiKey);
    QCOMPARE(answer(phone, last, "1", m_bob.device), 200);
    ::kill(pid_t(other->pid()), SIGKILL);
    QCOMPARE(m_http->get(questions + last + "/reply?timeout=0", m_bob.apiKey).text("reply_text"),
             QStringLiteral("1"));
}

void TestRelayApi::slowGreedyAndVanishingClients() {
    // A header trickled in is cut off at its deadline (800 ms here), while others are served.
    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, m_relay->port());
    QVERIFY(slow.waitForConnected());
    const QByteArray header = "GET /api/health HTTP/1.1\r\nHost: x\r\n";
    QElapsedTimer clock;
    clock.start();
    for (qsizetype i = 0; i < header.size() && slow.state() == QTcpSocket::ConnectedState; ++i) {
        slow.write(header.mid(i, 1));
        slow.flush();
        QTest::qWait(100);
        if (i == 3)
            QCOMPARE(m_http->get("/api/health").status, 200);
    }
    QVERIFY(QTest::qWaitFor([&] { return slow.state() == QTcpSocket::UnconnectedState; }, 5000));
    QVERIFY(clock.elapsed() < 4000);

    // A client that hangs up during a held reply costs nothing lasting.
    const QString reply =
        "/api/sessions/" + m_ann.session + "/questions/" + m_ann.question + "/reply?timeout=";
    for (int i = 0; i < 20; ++i) {
        QTcpSocket gone;
        gone.connectToHost(QHostAddress::LocalHost, m_relay->port());
        QVERIFY(gone.waitForConnected());
        gone.write("GET " + reply.toUtf8() + "2 HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                   m_ann.apiKey.toUtf8() + "\r\n\r\n");
        gone.flush();
        QTest::qWait(20);
        gone.abort();
    }
    QTest::qWait(2500);
    QCOMPARE(m_http->get("/api/health").status, 200);
    QCOMPARE(m_http->get(reply + "0", m_ann.apiKey).status, 204);

    // A phone holds at most four event streams open.
    QNetworkAccessManager network;
    std::vector<std::unique_ptr<QNetworkReply>> streams;
    for (int i = 0; i < 4; ++i)
        streams.push_back(startGet(network, m_relay->baseUrl() + "/api/events", m_ann.device));
    QTest::qWait(500);
    // (A short time-out: a fifth stream that opens would never end.)
    QCOMPARE(m_http->send("GET", "/api/events", {}, m_ann.device, 5000).status, 429);
}

void TestRelayApi::pairingIsThrottled() {
    const QString code = m_http->json("POST", "/api/pair/initiate", {}, m_bob.access).text("code");
    QCOMPARE(code.size(), 6);
    QVERIFY(!code.contains(QRegularExpression("[01OIL]")));
    int status = 0;
    for (int i = 0; i < 11; ++i)
        status = m_http
                     ->json("POST", "/api/pair/complete",
                            {{"code", "ZZZZZZ"}, {"device_name", "x"}, {"device_type", "y"}})
                     .status;
    QCOMPARE(status, 429);
    // Even the right code waits now.
    const HttpAnswer blocked = m_http->json(
        "POST", "/api/pair/complete", {{"code", code}, {"device_name", "x"}, {"device_type", "y"}});
    QCOMPARE(blocked.status, 429);
    QVERIFY(blocked.headers.contains("retry-after"));
}

void TestRelayApi::documentedRoutesAnswer() {
    QFile file(QStringLiteral(QUILLET_TEST_SUPPORT_DIR "/../../docs/api.md"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    static const QRegularExpression row(
        QStringLiteral("^\\| `([A-Z]+)` \\| `(/api/[^`]*)` \\| (none|agent|user|device) \\|"),
        QRegularExpression::MultilineOption);
    // Each kind of credential is good on its own routes alone: with none, or with another kind,
    // a route that exists refuses with 401 (an open one judges the body), one that does not
    // answers "No such route".
    int routes = 0;
    for (auto match = row.globalMatch(QString::fromUtf8(file.readAll())); match.hasNext();) {
        const auto route = match.next();
        const QString path = route.captured(2).replace(QRegularExpression("\\{[a-z]+\\}"), "x");
        const QString kind = route.captured(3);
        const bool open = kind == QLatin1String("none");
        for (const QString sent : {"none", "agent", "user", "device"}) {
            if (open ? sent != QLatin1String("none") : sent == kind)
                continue;
            const HttpAnswer answer =
                m_http->send(route.captured(1).toUtf8(), path, "{}", credential(m_ann, sent));
            const QString where = route.captured(1) + " " + path + " " + sent + ": " + answer.body;
            QVERIFY2(answer.status != 405 &&
                         answer.text("error") != QLatin1String("No such route."),
                     qPrintable(where));
            if (!open)
                QVERIFY2(answer.status == 401, qPrintable(where));
        }
        ++routes;
    }
    QCOMPARE(routes, 38);
}

void TestRelayApi::webPush() {
    // A push service, and one on the same address whose certificate names another host.
    const QString root = TestEnvironment::current()->root();
    FakeServer service(root + "/push.pem", root + "/push.key");
    FakeServer stranger(root + "/stranger.pem", root + "/stranger.key");
    const auto accepted = [](const RecordedRequest &) { return FakeResponse::raw(201, {}); };
    service.on("POST", QRegularExpression("/push/.*"), accepted);
    stranger.on("POST", QRegularExpression("/push/.*"), accepted);
    FakeResponse never = FakeResponse::raw(201, {});
    never.delayMs = 120000;
    service.on("POST", "/push/silent", never);

    // Ann's phone, and a second one that is unpaired below.
    const QString phoneA = m_ann.device;
    const QString code = m_http->json("POST", "/api/pair/initiate", {}, m_ann.access).text("code");
    const QString phoneB =
        m_http
            ->json("POST", "/api/pair/complete",
                   {{"code", code}, {"device_name", "tablet"}, {"device_type", "ios"}})
            .text("device_token");
    QVERIFY(!phoneB.isEmpty());
    const QString publicKey = m_http->get("/api/push/vapid-public-key").text("public_key");

    const auto browser = EcKey::generate();
    QVERIFY(browser);
    const QByteArray auth = Secrets::randomBytes(16);
    // PushSubscription.toJSON() of the browser, or of one with other keys.
    const auto subscription = [&](const QString &endpoint, const QByteArray &p256dh = {},
                                  const QByteArray &secret = {}) {
        return QJsonObject{
            {"endpoint", endpoint},
            {"expirationTime", QJsonValue::Null},
            {"keys",
             QJsonObject{
                 {"p256dh", Base64Url::encode(p256dh.isEmpty() ? browser->publicPoint() : p256dh)},
                 {"auth", Base64Url::encode(secret.isEmpty() ? auth : secret)}}}};
    };
    const auto subscribe = [&](const QString &token, const QString &endpoint) {
        return m_http->json("POST", "/api/push/subscriptions", subscription(endpoint), token);
    };

    // What the relay will not store: 400 for a malformed subscription, 422 for an endpoint
    // it will not send to (the phone tells its user why).
    const QString port = QString::number(service.port());
    QByteArray notAPoint = browser->publicPoint();
    notAPoint[64] = char(notAPoint[64] ^ 1);
    const QList<QPair<QJsonObject, int>> refused{
        {{{"endpoint", service.baseUrl() + "/push/x"}}, 400},
        {subscription(service.baseUrl() + "/push/x", {}, auth.left(15)), 400},
        {subscription(service.baseUrl() + "/push/x", notAPoint), 400},
        {subscription("http://127.0.0.1:" + port + "/push/x"), 422},
        {subscription("https://u@127.0.0.1:" + port + "/x"), 422},
        {subscription("https://push.example.net/x"), 422},
        {subscription("https://push.apple.com/x"), 422},
        {subscription("https://evilpush.apple.com/x"), 422},
        {subscription("https://web.push.apple.com.example.net/x"), 422},
    };
    for (const auto &[body, status] : refused) {
        const HttpAnswer answer = m_http->json("POST", "/api/push/subscriptions", body, phoneA);
        QVERIFY2(answer.status == status && !answer.text("error").isEmpty(),
                 qPrintable(QJsonDocument(body).toJson() + answer.body));
    }

    QCOMPARE(subscribe(phoneA, service.baseUrl() + "/push/one").status, 201);
    QCOMPARE(subscribe(phoneB, service.baseUrl() + "/push/two").status, 201);
    QCOMPARE(subscribe(phoneA, stranger.baseUrl() + "/push/stranger").status, 201);

    // A question longer than a push message holds: each subscription gets one push, the text
    // cut to fit.
    const QString text = "Deploy \"main\" now?\n" + QString(5000, QLatin1Char('x')) + " ✓";
    const auto ask = [&](const QString &questionText, int timeoutMs = 30000) {
        const QByteArray body =
            QJsonDocument(QJsonObject{{"context", "…"}, {"question_text", questionText}})
                .toJson(QJsonDocument::Compact);
        return m_http->send("POST", "/api/sessions/" + m_ann.session + "/questions", body,
                            m_ann.apiKey, timeoutMs);
    };
    const HttpAnswer first = ask(text);
    QCOMPARE(first.status, 201);
    QVERIFY(service.waitForRequestCount(2, 20000));
    // The relay checks the certificate's name: the stranger gets nothing.
    QVERIFY(QTest::qWaitFor([&] { return m_relay->log().contains("failed"); }, 20000));
    QCOMPARE(stranger.requests().size(), 0);

    const QList<RecordedRequest> one = service.requests("POST", "/push/one");
    QCOMPARE(one.size(), 1);
    const RecordedRequest &push = one.first();
    QCOMPARE(push.headers.value("ttl"), QByteArray("3600"));
    QCOMPARE(push.headers.value("urgency"), QByteArray("high"));
    QCOMPARE(push.headers.value("content-encoding"), QByteArray("aes128gcm"));
    QCOMPARE(push.headers.value("topic"), first.text("id").remove('-').toUtf8());
    const QJsonObject vapid =
        WebPushReader::read({{"vapid", QString::fromLatin1(push.headers.value("authorization"))}});
    SKIP_WITHOUT_WEBPUSH_READER(vapid);
    QVERIFY2(vapid["verified"].toBool(), qPrintable(push.headers.value("authorization")));
    QCOMPARE(vapid["key"].toString(), publicKey);
    QCOMPARE(vapid["claims"]["aud"].toString() + " " + vapid["claims"]["sub"].toString(),
             service.baseUrl() + " mailto:ops@quillet.test");
    // Push services refuse a token that lives longer than a day.
    const qint64 lives = vapid["claims"]["exp"].toInteger() - QDateTime::currentSecsSinceEpoch();
    QVERIFY2(lives > 3600 && lives <= 24 * 3600, qPrintable(QString::number(lives)));
    const QJsonObject read = WebPushReader::read(
        {{"decrypt", QJsonObject{{"body", Base64Url::encode(push.body)},
                                 {"privateKey", Base64Url::encode(browser->privateScalar())},
                                 {"authSecret", Base64Url::encode(auth)}}}});
    const QByteArray plaintext = Base64Url::decode(read["plaintext"].toString()).value_or("");
    QJsonObject message = QJsonDocument::fromJson(plaintext).object();
    const QString cut = message.take("question_text").toString();
    QCOMPARE(message, (QJsonObject{{"type", "question.posted"},
                                   {"question_id", first.text("id")},
                                   {"session_id", m_ann.session},
                                   {"project_name", QJsonValue::Null},
                                   {"pane_target", "work:0.1"}}));
    QVERIFY2(cut.endsWith(QChar(0x2026)) && text.startsWith(cut.chopped(1)) &&
                 plaintext.size() > 3900 && plaintext.size() <= 4096 - 103,
             plaintext.constData());

    // A push service that calls the subscription gone has it dropped.
    service.enqueue("POST", "/push/one", FakeResponse::raw(410, {}));
    QCOMPARE(ask("Again?").status, 201);
    QVERIFY(service.waitForRequestCount(4, 20000));
    QVERIFY(QTest::qWaitFor([&] { return m_relay->log().contains("(410): dropped"); }, 20000));

    // An unpaired phone's subscriptions go with it; a phone drops its own, and nobody else's.
    QCOMPARE(m_http->send("DELETE", "/api/devices/me", {}, phoneB).status, 204);
    QCOMPARE(subscribe(phoneA, service.baseUrl() + "/push/three").status, 201);
    QCOMPARE(subscribe(phoneA, service.baseUrl() + "/push/four").status, 201);
    const auto unsubscribe = [&](const QString &token, const QString &endpoint) {
        return m_http->json("DELETE", "/api/push/subscriptions", {{"endpoint", endpoint}}, token);
    };
    QCOMPARE(unsubscribe(phoneA, service.baseUrl() + "/push/four").status, 204);
    QCOMPARE(unsubscribe(m_bob.device, service.baseUrl() + "/push/three").status, 204);
    QCOMPARE(ask("Third?").status, 201);
    QVERIFY(service.waitForRequestCount(5, 20000));
    QTest::qWait(500);
    QCOMPARE(service.requests().size(), 5);
    QCOMPARE(service.requests("POST", "/push/three").size(), 1);

    // A busy push service gets one more try, and no third.
    service.enqueue("POST", "/push/three", FakeResponse::raw(503, {}));
    service.enqueue("POST", "/push/three", FakeResponse::raw(503, {}));
    QCOMPARE(ask("Busy?").status, 201);
    QVERIFY(service.waitForRequestCount(7, 30000));
    QVERIFY(QTest::qWaitFor([&] { return m_relay->log().contains("refused (503)"); }, 20000));

    // A push service that never answers holds up no agent: the next question is taken while
    // the relay still waits for that answer.
    QCOMPARE(subscribe(phoneA, service.baseUrl() + "/push/silent").status, 201);
    QCOMPARE(ask("Fourth?", 8000).status, 201);
    QVERIFY(service.waitForRequestCount(9, 20000));
    QCOMPARE(ask("Fifth?", 8000).status, 201);

    // Endpoints are capabilities: the log names the push service's host only.
    QVERIFY2(!m_relay->log().contains("/push/"), qPrintable(m_relay->log()));
}

void TestRelayApi::commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::newRow("certificate without key")
        << QStringList{"--tls-cert", "c.pem"} << 2 << "go together";
    // (An address that is not one must never become "any": the relay would listen everywhere.)
    QTest::newRow("listen address not an address")
        << QStringList{"--listen", "example.org", "--port", "0"} << 1 << "not an IP address";
    QTest::newRow("VAPID subject not an address")
        << QStringList{"--vapid-subject", "ops@quillet.test"} << 2 << "not a mailto: or https:";
    QTest::newRow("retention not an age") << QStringList{"--retention", "3w"} << 2 << "not an age";
    QTest::newRow("port taken") << QStringList{"--listen", "127.0.0.1", "--port", "{port}"} << 1
                                << "cannot listen";
    QTest::newRow("database that cannot be opened")
        << QStringList{"--database", "/proc/quillet/server.sqlite", "--port", "0"} << 1
        << "cannot open the database";
}

void TestRelayApi::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    arguments.replaceInStrings("{port}", QString::number(m_relay->port()));
    QProcess server;
    server.start(QStringLiteral(QUILLET_SERVER_BINARY), arguments);
    QVERIFY(server.waitForFinished(15000));
    const QString all =
        QString::fromUtf8(server.readAllStandardOutput() + server.readAllStandardError());
    QCOMPARE(server.exitCode(), status);
    QVERIFY2(all.contains(output), qPrintable(all));
}

QUILLET_TEST_GUILESS_MAIN(TestRelayApi)
#include "tst_RelayApi.moc"
