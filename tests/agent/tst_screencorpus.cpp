#include "agent/ScreenAnalysis.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"

#include <QDir>

using namespace quillet;

namespace {

QString readText(const QString &path) {
    return QString::fromUtf8(test::fileBytes(path));
}

} // namespace

// The screens of real agents, captured by scripts/capture-agent-screens, each with the question a
// person reads on it ("-": it asks nothing).
class TestScreenCorpus : public QObject {
    Q_OBJECT

private slots:
    void questionOnEveryCapture_data() {
        QTest::addColumn<QString>("capture");
        QTest::addColumn<QString>("question");

        const QDir corpus(QStringLiteral(QUILLET_TEST_SUPPORT_DIR "/screens/corpus"));
        const QStringList versions = corpus.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(versions.size() >= 4); // two versions of each agent
        for (const QString &version : versions) {
            const QDir folder(corpus.filePath(version));
            const QStringList records = readText(folder.filePath(QStringLiteral("records.tsv")))
                                            .split(u'\n', Qt::SkipEmptyParts);
            for (const QString &record : records) {
                const QString name = record.section(u'\t', 0, 0);
                const QString question = record.section(u'\t', 1);
                QTest::newRow(qPrintable(version + u'/' + name))
                    << readText(folder.filePath(name + QStringLiteral(".txt"))) << question;
            }
        }
    }

    void questionOnEveryCapture() {
        QFETCH(QString, capture);
        QFETCH(QString, question);
        if (question == QLatin1String("-")) {
            // A screen that asks nothing must not take a digit as a menu answer either.
            QVERIFY(!ScreenAnalysis::endsInNumberedMenu(capture));
            QVERIFY(!ScreenAnalysis::unnumberedMenu(capture));
            return;
        }
        QCOMPARE(ScreenAnalysis::questionText(capture), question);
    }
};

QUILLET_TEST_GUILESS_MAIN(TestScreenCorpus)
#include "tst_screencorpus.moc"
