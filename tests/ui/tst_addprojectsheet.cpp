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

    void addEnabledOnlyWithNameAndDirectory_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("both") << "App"
                              << "/tmp" << true;
        QTest::newRow("blank name") << " \t "
                                    << "/tmp" << false;
        QTest::newRow("blank directory") << "App"
                                         << "   " << false;
        QTest::newRow("both spaces") << "  "
                                     << "  " << false;
        QTest::newRow("empty") << ""
                               << "" << false;
    }
    void addEnabledOnlyWithNameAndDirectory() {
        QFETCH(QString, name);
        QFETCH(QString, directory);
        QFETCH(bool, enabled);
        AddProjectSheet sheet(*m_store, name, directory);
        sheet.show();
        auto *add = child<QPushButton>(sheet, "addButton");
        QCOMPARE(add->isEnabled(), enabled);
        // Return while disabled adds nothing.
        QTest::keyClick(child<QLineEdit>(sheet, "nameEdit"), Qt::Key_Return);
        if (!enabled)
            QVERIFY(m_store->projects().isEmpty());
    }

    void validationMessages_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing directory") << "X"
                                           << "/nonexistent/quillet"
                                           << "Directory does not exist.";
        QTest::newRow("taken") << "My App"
                               << "."
                               << "A project with this session name already exists.";
        QTest::newRow("taken, padded") << "  My App "
                                       << "."
                                       << "A project with this session name already exists.";
    }
    void validationMessages() {
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
        child<QPushButton>(sheet, "addButton")->click();
        QCOMPARE(sheet.errorMessage(), message);
        QVERIFY(sheet.result() != QDialog::Accepted);
        QCOMPARE(m_store->projects().size(), 1);
    }

    void addCreatesTrimmedProject() {
        AddProjectSheet sheet(*m_store, QStringLiteral(" My App\t"),
                              QStringLiteral("  ") + m_dir.path());
        child<QComboBox>(sheet, "toolPicker")->setCurrentIndex(1);
        child<QLineEdit>(sheet, "launchCommandEdit")
            ->setText(QStringLiteral(" codex --full-auto "));
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

    void toolChangeRule() {
        AddProjectSheet sheet(*m_store, {}, {});
        auto *tools = child<QComboBox>(sheet, "toolPicker");
        auto *command = child<QLineEdit>(sheet, "launchCommandEdit");
        QCOMPARE(tools->currentText(), QStringLiteral("Claude Code"));
        QCOMPARE(command->text(), QStringLiteral("claude"));
        tools->setCurrentIndex(1);
        QCOMPARE(command->text(), QStringLiteral("codex"));
        tools->setCurrentIndex(2);
        QCOMPARE(command->text(), QString());
        tools->setCurrentIndex(0);
        QCOMPARE(command->text(), QStringLiteral("claude"));
        command->setText(QStringLiteral("claude --resume"));
        tools->setCurrentIndex(1);
        QCOMPARE(command->text(), QStringLiteral("claude --resume"));
    }

    void browse_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("expectedName");
        QTest::addColumn<bool>("directoryFilled");
        QTest::newRow("empty name takes folder name") << "" << false << "Chosen Folder" << true;
        QTest::newRow("typed name kept") << "Mine" << false << "Mine" << true;
        QTest::newRow("cancel changes nothing") << "" << true << "" << false;
    }
    void browse() {
        QFETCH(QString, name);
        QFETCH(bool, cancel);
        QFETCH(QString, expectedName);
        QFETCH(bool, directoryFilled);
        const QString folder = m_dir.path() + QStringLiteral("/Chosen Folder");
        QString askedWith;
        FolderPicker::answer = [&](const QString &message) -> std::optional<QString> {
            askedWith = message;
            if (cancel)
                return std::nullopt;
            return folder;
        };
        AddProjectSheet sheet(*m_store, name, {});
        child<QPushButton>(sheet, "browseButton")->click();
        QCOMPARE(askedWith, QStringLiteral("Select the project directory"));
        QCOMPARE(child<QLineEdit>(sheet, "nameEdit")->text(), expectedName);
        QCOMPARE(child<QLineEdit>(sheet, "directoryEdit")->text(),
                 directoryFilled ? folder : QString());
    }

    void cancelCreatesNothing() {
        AddProjectSheet sheet(*m_store, QStringLiteral("A"), m_dir.path());
        child<QPushButton>(sheet, "cancelButton")->click();
        QCOMPARE(sheet.result(), int(QDialog::Rejected));
        QVERIFY(m_store->projects().isEmpty());
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestAddProjectSheet)
#include "tst_addprojectsheet.moc"
