// The one HTTP policy, seen through both clients that share it: each fault must end the same way
// on the wire for both, and each client must report it in its own style (the engine's client
// logs and gives no result, the account client throws the user's text).
#include "agent/AgentClient.h"
#include "api/APIService.h"
#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "common/Settings.h"
#include "support/AccountFixture.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

#include <QJsonObject>
#include <QTcpServer>

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

class TestHttpTransport : public QObject, private AccountFixture {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        initAccount();
        m_api->setTimeout(300ms);
        m_agent = std::make_unique<AgentClient>();
        m_agent->setApiKey(QStringLiteral("qk_secret"));
        m_agent->setTimeouts(300ms, 60s);
    }

    void cleanup() {
        cleanupAccount();
        m_agent.reset();
    }

    void policy_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("wire");    // request paths: the engine's, then the account's
        QTest::addColumn<QString>("agentResult"); // the reply fetched, or <none>
        QTest::addColumn<QString>("agentFailure");   // in its "Request failed" line; empty: no line
        QTest::addColumn<QString>("accountOutcome"); // "ok" or in the text thrown

        const QStringList both = {"/api/sessions/d1/questions/q1/reply", "/api/paired-devices/d1"};
        const QStringList none;
        // clang-format off
        // No reply yet is no reply: an empty one would press Enter in the pane.
        QTest::newRow("204") << "204" << "d1" << both << "<none>" << "" << "ok";
        QTest::newRow("unreachable") << "unreachable" << "d1" << none << "<none>" << "Connection refused" << "Connection refused";
        QTest::newRow("time-out") << "delay" << "d1" << both << "<none>" << "timed out" << "The request timed out.";
        QTest::newRow("dropped") << "drop" << "d1" << both << "<none>" << "closed" << "closed";
        // The redirect target would answer; the credential must not be carried there.
        QTest::newRow("redirect") << "redirect" << "d1" << both << "<none>" << "" << "HTTP error 307: moved";
        QTest::newRow("endless body") << "endless" << "d1" << both << "<none>" << "response larger than 8388608 bytes" << "Received an invalid response from the server.";
        QTest::newRow("other scheme") << "ftp" << "d1" << none << "<none>" << "" << "The URL is invalid.";
        // Dot segments would be resolved away by the URL, an empty one changes the endpoint.
        QTest::newRow("empty id") << "" << "" << none << "<none>" << "" << "The URL is invalid.";
        QTest::newRow("current segment") << "" << "." << none << "<none>" << "" << "The URL is invalid.";
        QTest::newRow("parent segment") << "" << ".." << none << "<none>" << "" << "The URL is invalid.";
        QTest::newRow("id stays one segment") << "" << "../a?b#c d%é"
            << QStringList{"/api/sessions/..%2Fa%3Fb%23c%20d%25%C3%A9/questions/q1/reply",
                           "/api/paired-devices/..%2Fa%3Fb%23c%20d%25%C3%A9"}
            << "y" << "" << "ok";
        // clang-format on
    }

    void policy() {
        QFETCH(QString, fault);
        QFETCH(QString, id);
        QFETCH(QStringList, wire);
        QFETCH(QString, agentResult);
        QFETCH(QString, agentFailure);
        QFETCH(QString, accountOutcome);

        QString base = m_server->baseUrl();
        if (fault == QLatin1String("unreachable")) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            base = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
        } else if (fault == QLatin1String("ftp")) {
            base = QStringLiteral("ftp://127.0.0.1:%1").arg(m_server->port());
        }
        const auto answer = [fault, base](const RecordedRequest &request) {
            FakeResponse fine = request.method == "GET"
                                    ? FakeResponse::json(200, QJsonObject{{"reply_text", "y"}})
                                    : FakeResponse::raw(200, "deleted, not JSON");
            if (request.path == QLatin1String("/elsewhere"))
                return fine;
            FakeResponse response =
                fault == QLatin1String("redirect")  ? FakeResponse::raw(307, "moved")
                : fault == QLatin1String("endless") ? FakeResponse::raw(200, "[")
                : fault == QLatin1String("204")     ? FakeResponse::raw(204, "")
                                                    : fine;
            response.location =
                fault == QLatin1String("redirect") ? (base + "/elsewhere").toUtf8() : QByteArray();
            response.endless = fault == QLatin1String("endless");
            response.delayMs = fault == QLatin1String("delay") ? 2000 : 0;
            response.dropConnection = fault == QLatin1String("drop");
            return response;
        };
        m_server->on("GET", QRegularExpression(".*"), answer);
        m_server->on("DELETE", QRegularExpression(".*"), answer);
        m_agent->setServerUrl(base);
        Settings::write(Settings::serverURL, base);

        LogCapture log;
        const std::optional<QString> reply =
            awaitTask(m_agent->fetchReply(id, QStringLiteral("q1")));
        QCOMPARE(reply.value_or(QStringLiteral("<none>")), agentResult);
        QString outcome = QStringLiteral("ok");
        try {
            awaitTask(m_api->deletePairedDevice(id));
        } catch (const std::exception &error) {
            outcome = QString::fromUtf8(error.what());
        }
        QVERIFY2(outcome.contains(accountOutcome), qPrintable(outcome));

        QStringList paths;
        for (const RecordedRequest &request : m_server->requests())
            paths << request.path;
        paths.removeDuplicates(); // Qt sends a request again once when the connection drops
        QCOMPARE(paths, wire);
        // One line that names the fault, never the key.
        const QString lines = log.messages().join('\n');
        QCOMPARE(log.messages().size(), agentFailure.isEmpty() ? 0 : 1);
        QVERIFY2(lines.contains(agentFailure, Qt::CaseInsensitive) && !lines.contains("qk_secret"),
                 qPrintable(lines));
    }

private:
    std::unique_ptr<AgentClient> m_agent;
};

QUILLET_TEST_GUILESS_MAIN(TestHttpTransport)
#include "tst_httptransport.moc"
