#include "projects/ProjectStore.h"
#include "support/TestEnvironment.h"
#include "ui/AddProjectSheet.h"
#include "ui/FolderPicker.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

using namespace quillet;

namespace {

template <typename T> T *child(QWidget &parent, const char *name) {
    T *widget = parent.findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

} // namespace

class TestAddProjectSheet : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ProjectStore> m_store;

private Q_SLOTS:
    void init() {
        QFile::remove(ProjectStore::defaultFilePath());
        m_store = std::make_unique<ProjectStore>();
        FolderPicker::answer = nullptr;
    }

    void refusals_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("message"); // empty: the Add button is disabled
        QTest::newRow("blank name") << " \t "
                                    << "."
                                    << "";
        QTest::newRow("blank directory") << "App"
                                         << "   "
                                         << "";
        QTest::newRow("taken, padded") << "  My App "
                                       << "."
                                       << "A project with this session name already exists.";
    }
    void refusals() {
        QFETCH(QString, name);
        QFETCH(QString, directory);
        QFETCH(QString, message);
        {
            AddProjectSheet first(*m_store, QStringLiteral("My App"), m_dir.path());
            child<QPushButton>(first, "addButton")->click();
            QCOMPARE(first.result(), int(QDialog::Accepted));
        }
        if (directory == QLatin1String("."))
            directory = m_dir.path();
        AddProjectSheet sheet(*m_store, name, directory);
        sheet.show();
        QCOMPARE(child<QPushButton>(sheet, "addButton")->isEnabled(), !message.isEmpty());
        QTest::keyClick(child<QLineEdit>(sheet, "nameEdit"), Qt::Key_Return);
        QCOMPARE(sheet.errorMessage(), message);
        QVERIFY(sheet.result() != QDialog::Accepted);
        QCOMPARE(m_store->projects().size(), 1);
    }

    void addCreatesTrimmedProject() {
        AddProjectSheet sheet(*m_store, QStringLiteral(" My App\t"),
                              QStringLiteral("  ") + m_dir.path());
        auto *tools = child<QComboBox>(sheet, "toolPicker");
        auto *command = child<QLineEdit>(sheet, "launchCommandEdit");
        // The command follows the tool until it is edited.
        QCOMPARE(command->text(), QStringLiteral("claude"));
        tools->setCurrentIndex(1);
        QCOMPARE(command->text(), QStringLiteral("codex"));
        command->setText(QStringLiteral(" codex --full-auto "));
        tools->setCurrentIndex(2);
        tools->setCurrentIndex(1);
        child<QCheckBox>(sheet, "autoLaunchCheck")->setChecked(true);
        sheet.show();
        QTest::keyClick(child<QLineEdit>(sheet, "nameEdit"), Qt::Key_Return);
        QCOMPARE(sheet.result(), int(QDialog::Accepted));
        QCOMPARE(m_store->projects().size(), 1);
        const Project p = m_store->projects().first();
        QCOMPARE(p.name, QStringLiteral("My App"));
        QCOMPARE(p.directory, m_dir.path());
        QCOMPARE(p.tmuxSessionName, QStringLiteral("my-app"));
        QCOMPARE(p.launchCommand, QStringLiteral("codex --full-auto"));
        QCOMPARE(p.tool, CodingTool::codex);
        QVERIFY(p.autoLaunch);
        QVERIFY(!p.lastUsedAt);
    }

    void browse_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("expectedName");
        QTest::newRow("empty name takes folder name") << "" << false << "Chosen Folder";
        QTest::newRow("typed name kept") << "Mine" << false << "Mine";
        QTest::newRow("cancel changes nothing") << "" << true << "";
    }
    void browse() {
        QFETCH(QString, name);
        QFETCH(bool, cancel);
        QFETCH(QString, expectedName);
        const QString folder = m_dir.path() + QStringLiteral("/Chosen Folder");
        FolderPicker::answer = [&](const QString &) -> std::optional<QString> {
            return cancel ? std::nullopt : std::optional(folder);
        };
        AddProjectSheet sheet(*m_store, name, {});
        child<QPushButton>(sheet, "browseButton")->click();
        QCOMPARE(child<QLineEdit>(sheet, "nameEdit")->text(), expectedName);
        QCOMPARE(child<QLineEdit>(sheet, "directoryEdit")->text(), cancel ? QString() : folder);
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestAddProjectSheet)
#include "tst_addprojectsheet.moc"
