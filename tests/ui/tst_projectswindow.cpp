#include "projects/DropCoordinator.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "ui/AddProjectSheet.h"
#include "ui/FolderPicker.h"
#include "ui/ProjectsWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>

using namespace quillet;

namespace {

Project project(const QString &name, std::optional<QDateTime> lastUsed = std::nullopt) {
    Project p = quillet::test::sampleProject(name);
    p.lastUsedAt = lastUsed;
    return p;
}

QDateTime day(int d) {
    return QDateTime(QDate(2025, 3, d), QTime(12, 0), Qt::UTC);
}

QStringList names(const ProjectStore &store) {
    QStringList result;
    for (const Project &p : store.projects())
        result << p.name;
    return result;
}

QStringList rows(QListWidget *list) {
    QStringList result;
    for (int i = 0; i < list->count(); ++i)
        result << list->item(i)->text();
    return result;
}

} // namespace

class TestProjectsWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<ProjectStore> m_store;
    std::unique_ptr<DropCoordinator> m_drops;
    QTemporaryDir m_dir;

private Q_SLOTS:
    void init() {
        QFile::remove(ProjectStore::defaultFilePath());
        m_store = std::make_unique<ProjectStore>();
        m_drops = std::make_unique<DropCoordinator>();
    }

    void sorts_data() {
        QTest::addColumn<int>("entry"); // in the sort menu
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("manual") << 0 << QStringList{"beta", "Alpha", "Gamma", "alpha"};
        QTest::newRow("name, case-insensitive, stable")
            << 1 << QStringList{"Alpha", "alpha", "beta", "Gamma"};
        QTest::newRow("recently used, never used last in order")
            << 2 << QStringList{"alpha", "Gamma", "beta", "Alpha"};
    }
    void sorts() {
        QFETCH(int, entry);
        QFETCH(QStringList, expected);
        for (const Project &p :
             {project(QStringLiteral("beta")), project(QStringLiteral("Alpha")),
              project(QStringLiteral("Gamma"), day(2)), project(QStringLiteral("alpha"), day(5))})
            m_store->add(p);
        ProjectsWindow w(*m_store, *m_drops);
        w.findChild<QMenu *>(QStringLiteral("sortMenu"))->actions().at(entry)->trigger();
        QCOMPARE(names(*m_store), expected);
        QCOMPARE(rows(w.findChild<QListWidget *>(QStringLiteral("projectList"))), expected);
    }

    void editReorderAndRemove() {
        const Project one = project(QStringLiteral("One"));
        for (const Project &p : {one, project(QStringLiteral("Two")), project(QStringLiteral("C"))})
            m_store->add(p);
        ProjectsWindow w(*m_store, *m_drops);
        auto *list = w.findChild<QListWidget *>(QStringLiteral("projectList"));
        w.select(one.id);
        // A launch writes lastUsedAt while the editor is open; saving the edit keeps it.
        Project launched = one;
        launched.lastUsedAt = day(9);
        m_store->update(launched);
        auto *name = w.findChild<QLineEdit *>(QStringLiteral("nameEdit"));
        name->setText(QStringLiteral("New Name"));
        QTest::keyClick(name, Qt::Key_Return);
        QVERIFY(test::fileBytes(ProjectStore::defaultFilePath()).contains("New Name"));
        QCOMPARE(m_store->projects().first().lastUsedAt, day(9));
        QCOMPARE(rows(list), (QStringList{"New Name", "Two", "C"}));

        // What an internal drag does to the list's model.
        QVERIFY(list->model()->moveRow(QModelIndex(), 0, QModelIndex(), 2));
        QCOMPARE(names(*m_store), (QStringList{"Two", "New Name", "C"}));
        QCOMPARE(rows(list), names(*m_store));

        list->setCurrentRow(1);
        w.findChild<QToolButton *>(QStringLiteral("removeButton"))->click();
        QCOMPARE(names(*m_store), (QStringList{"Two", "C"}));
        QVERIFY(!w.selectedProjectId());
    }

    void drops() {
        const auto field = [](ProjectsWindow &w, const QString &name) {
            return w.addSheet()->findChild<QLineEdit *>(name)->text();
        };
        // A drop while the window is hidden waits for it; a later one replaces the open sheet.
        ProjectsWindow w(*m_store, *m_drops);
        m_drops->setPendingDrop(m_dir.path() + QStringLiteral("/My App"));
        QVERIFY(!w.addSheet());
        w.show();
        QCOMPARE(field(w, QStringLiteral("nameEdit")), QStringLiteral("My App"));
        QPointer<AddProjectSheet> first = w.addSheet();
        m_drops->setPendingDrop(m_dir.path() + QStringLiteral("/Other/"));
        QTRY_VERIFY(first.isNull());
        QCOMPARE(field(w, QStringLiteral("nameEdit")), QStringLiteral("Other"));
        QCOMPARE(field(w, QStringLiteral("directoryEdit")),
                 m_dir.path() + QStringLiteral("/Other"));

        // A folder dropped on the window.
        ProjectsWindow other(*m_store, *m_drops);
        other.show();
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("First")));
        QVERIFY(other.dropUrls({QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("First")))}));
        QCOMPARE(field(other, QStringLiteral("directoryEdit")), m_dir.filePath("First"));
    }

    // The add sheet refuses what cannot be a project, then stores what was typed, trimmed. The
    // tool's command rule is tst_project's.
    void addSheet() {
        m_store->add(project(QStringLiteral("My App")));
        std::optional<QString> picked;
        FolderPicker::answer = [&](const QString &) { return picked; };
        AddProjectSheet sheet(*m_store, QString(), {});
        sheet.show();
        const auto edit = [&](const char *name) {
            return sheet.findChild<QLineEdit *>(QLatin1String(name));
        };
        auto *browse = sheet.findChild<QPushButton *>(QStringLiteral("browseButton"));
        picked = m_dir.path() + QStringLiteral("/Chosen Folder");
        QVERIFY(QDir().mkpath(*picked));
        browse->click();
        QCOMPARE(edit("nameEdit")->text(), QStringLiteral("Chosen Folder"));
        edit("nameEdit")->setText(QStringLiteral("  My App "));
        QTest::keyClick(edit("nameEdit"), Qt::Key_Return);
        QCOMPARE(sheet.errorMessage(),
                 QStringLiteral("A project with this session name already exists."));
        edit("nameEdit")->setText(QStringLiteral(" \t "));
        QTest::keyClick(edit("nameEdit"), Qt::Key_Return);
        QCOMPARE(m_store->projects().size(), 1);

        // A typed name is kept when a folder is chosen.
        edit("nameEdit")->setText(QStringLiteral(" Web\t"));
        picked = m_dir.path();
        browse->click();
        QCOMPARE(edit("nameEdit")->text(), QStringLiteral(" Web\t"));
        edit("directoryEdit")->setText(QStringLiteral("  ") + m_dir.path());
        sheet.findChild<QComboBox *>(QStringLiteral("toolPicker"))->setCurrentIndex(1);
        QCOMPARE(edit("launchCommandEdit")->text(), QStringLiteral("codex"));
        edit("launchCommandEdit")->setText(QStringLiteral(" codex --full-auto "));
        sheet.findChild<QCheckBox *>(QStringLiteral("autoLaunchCheck"))->setChecked(true);
        QTest::keyClick(edit("nameEdit"), Qt::Key_Return);
        QCOMPARE(sheet.result(), int(QDialog::Accepted));
        const Project p = m_store->projects().last();
        QCOMPARE((QStringList{p.name, p.directory, p.tmuxSessionName, p.launchCommand}),
                 (QStringList{"Web", m_dir.path(), "web", "codex --full-auto"}));
        QVERIFY(p.tool == CodingTool::codex && p.autoLaunch && !p.lastUsedAt);
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestProjectsWindow)
#include "tst_projectswindow.moc"
