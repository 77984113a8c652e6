#include "projects/ProjectCodec.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace quillet;

namespace {

Project sample() {
    Project p;
    p.id = QUuid::fromString(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));
    p.name = QStringLiteral("My \"App\"");
    p.directory = QStringLiteral("/home/dev/my app");
    p.tmuxSessionName = QStringLiteral("my-app");
    p.launchCommand = QStringLiteral("claude --resume");
    p.tool = CodingTool::claudeCode;
    p.autoLaunch = true;
    p.createdAt = QDateTime(QDate(2025, 3, 1), QTime(14, 5, 9), Qt::UTC);
    return p;
}

QByteArray withMember(const char *key, const QJsonValue &value) {
    QJsonObject object =
        QJsonDocument::fromJson(ProjectCodec::encode({sample()})).array().first().toObject();
    if (value.isUndefined())
        object.remove(QLatin1String(key));
    else
        object.insert(QLatin1String(key), value);
    return QJsonDocument(QJsonArray{object}).toJson();
}

} // namespace

class TestProject : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sessionNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("punctuation dropped") << "API v2.0 (beta)"
                                             << "api-v20-beta";
        QTest::newRow("non-Latin letters") << "Проект Ω 東京"
                                           << "проект-ω-東京";
        QTest::newRow("other white space is dropped") << "a\tb\u00a0c"
                                                      << "abc";
    }
    void sessionNames() {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(sessionName(name), expected);
    }

    void toolChangeRule_data() {
        QTest::addColumn<CodingTool>("from");
        QTest::addColumn<CodingTool>("to");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("expected");
        QTest::newRow("edited command stays")
            << CodingTool::claudeCode << CodingTool::codex << "claude --resume"
            << "claude --resume";
        QTest::newRow("to generic empties")
            << CodingTool::claudeCode << CodingTool::generic << "claude"
            << "";
        QTest::newRow("another tool's default is an edit")
            << CodingTool::claudeCode << CodingTool::generic << "codex"
            << "codex";
    }
    void toolChangeRule() {
        QFETCH(CodingTool, from);
        QFETCH(CodingTool, to);
        QFETCH(QString, command);
        QFETCH(QString, expected);
        QCOMPARE(launchCommandAfterToolChange(from, to, command), expected);
    }

    void exactBytes() {
        Project used = sample();
        used.tool = CodingTool::generic;
        used.launchCommand.clear();
        used.autoLaunch = false;
        used.name = QStringLiteral("Tab\there/ünï");
        used.lastUsedAt = QDateTime(QDate(2025, 3, 2), QTime(8, 0, 1, 999), Qt::UTC);
        const QByteArray expected = "[\n"
                                    "  {\n"
                                    "    \"id\" : \"0F8FAD5B-D9CB-469F-A165-70867728950E\",\n"
                                    "    \"name\" : \"My \\\"App\\\"\",\n"
                                    "    \"directory\" : \"\\/home\\/dev\\/my app\",\n"
                                    "    \"tmuxSessionName\" : \"my-app\",\n"
                                    "    \"launchCommand\" : \"claude --resume\",\n"
                                    "    \"tool\" : \"claude-code\",\n"
                                    "    \"autoLaunch\" : true,\n"
                                    "    \"createdAt\" : \"2025-03-01T14:05:09Z\"\n"
                                    "  },\n"
                                    "  {\n"
                                    "    \"id\" : \"0F8FAD5B-D9CB-469F-A165-70867728950E\",\n"
                                    "    \"name\" : \"Tab\\there\\/\xc3\xbcn\xc3\xaf\",\n"
                                    "    \"directory\" : \"\\/home\\/dev\\/my app\",\n"
                                    "    \"tmuxSessionName\" : \"my-app\",\n"
                                    "    \"launchCommand\" : \"\",\n"
                                    "    \"tool\" : \"generic\",\n"
                                    "    \"autoLaunch\" : false,\n"
                                    "    \"createdAt\" : \"2025-03-01T14:05:09Z\",\n"
                                    "    \"lastUsedAt\" : \"2025-03-02T08:00:01Z\"\n"
                                    "  }\n"
                                    "]";
        QCOMPARE(ProjectCodec::encode({sample(), used}), expected);
        QCOMPARE(ProjectCodec::encode({}), QByteArray("[]"));

        const auto decoded = ProjectCodec::decode(expected);
        QVERIFY2(decoded.projects.has_value(), qPrintable(decoded.error));
        QCOMPARE(decoded.projects->size(), 2);
        QCOMPARE(decoded.projects->at(0), sample());
        // Whole seconds only: the fraction does not survive the file.
        used.lastUsedAt = QDateTime(QDate(2025, 3, 2), QTime(8, 0, 1), Qt::UTC);
        QCOMPARE(decoded.projects->at(1), used);
    }

    void lenientWhereTheFormatAllows() {
        // Lower-case UUIDs, unescaped slashes, unknown members and numeric offsets all read.
        const QByteArray text = R"([{"id":"0f8fad5b-d9cb-469f-a165-70867728950e","name":"n",
            "directory":"/a/b","tmuxSessionName":"s","launchCommand":"","tool":"codex",
            "autoLaunch":false,"createdAt":"2025-03-01T16:05:09+02:00","color":"red"}])";
        const auto decoded = ProjectCodec::decode(text);
        QVERIFY2(decoded.projects.has_value(), qPrintable(decoded.error));
        const Project &p = decoded.projects->first();
        QCOMPARE(p.idText(), QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
        QCOMPARE(p.createdAt, QDateTime(QDate(2025, 3, 1), QTime(14, 5, 9), Qt::UTC));
    }

    void strictReads_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("not JSON") << QByteArray("[{");
        QTest::newRow("object, not array") << QByteArray("{}");
        QTest::newRow("autoLaunch missing") << withMember("autoLaunch", QJsonValue::Undefined);
        QTest::newRow("autoLaunch a number") << withMember("autoLaunch", 1);
        QTest::newRow("name missing") << withMember("name", QJsonValue::Undefined);
        QTest::newRow("launchCommand null") << withMember("launchCommand", QJsonValue::Null);
        QTest::newRow("unknown tool") << withMember("tool", QStringLiteral("vim"));
        QTest::newRow("braced UUID")
            << withMember("id", QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}"));
        QTest::newRow("date without zone")
            << withMember("createdAt", QStringLiteral("2025-03-01T14:05:09"));
        QTest::newRow("lastUsedAt bad") << withMember("lastUsedAt", QStringLiteral("yesterday"));
        QByteArray oneBad = ProjectCodec::encode({sample()});
        oneBad.chop(2);
        QTest::newRow("one bad object of two") << oneBad + ",\n  {\"id\": 1}\n]";
    }
    void strictReads() {
        QFETCH(QByteArray, bytes);
        const auto decoded = ProjectCodec::decode(bytes);
        QVERIFY(!decoded.projects.has_value());
        QVERIFY(!decoded.error.isEmpty());
    }
};

QUILLET_TEST_GUILESS_MAIN(TestProject)
#include "tst_project.moc"
