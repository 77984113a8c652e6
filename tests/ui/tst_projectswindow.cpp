#include "projects/DropCoordinator.h"
#include "projects/ProjectStore.h"
#include "support/Fixtures.h"
#include "support/TestEnvironment.h"
#include "ui/AddProjectSheet.h"
#include "ui/ProjectsWindow.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QStackedWidget>
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

QByteArray fileBytes() {
    return quillet::test::fileBytes(ProjectStore::defaultFilePath());
}

} // namespace

class TestProjectsWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<ProjectStore> m_store;
    std::unique_ptr<DropCoordinator> m_drops;
    QTemporaryDir m_dir;

    std::unique_ptr<ProjectsWindow> window() {
        auto w = std::make_unique<ProjectsWindow>(*m_store, *m_drops);
        return w;
    }
    QAction *sortAction(ProjectsWindow &w, const QString &text) {
        const auto actions = w.findChild<QMenu *>(QStringLiteral("sortMenu"))->actions();
        for (QAction *a : actions) {
            if (a->text() == text)
                return a;
        }
        qFatal("no sort entry");
    }

private Q_SLOTS:
    void init() {
        QFile::remove(ProjectStore::defaultFilePath());
        m_store = std::make_unique<ProjectStore>();
        m_drops = std::make_unique<DropCoordinator>();
    }

    void sorts_data() {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("manual") << "Manual" << QStringList{"beta", "Alpha", "gamma", "alpha"};
        QTest::newRow("name, case-insensitive, stable")
            << "Name" << QStringList{"Alpha", "alpha", "beta", "gamma"};
        QTest::newRow("recently used, never used last in order")
            << "Recently Used" << QStringList{"alpha", "gamma", "beta", "Alpha"};
    }
    void sorts() {
        QFETCH(QString, entry);
        QFETCH(QStringList, expected);
        for (const Project &p :
             {project(QStringLiteral("beta")), project(QStringLiteral("Alpha")),
              project(QStringLiteral("gamma"), day(2)), project(QStringLiteral("alpha"), day(5))})
            m_store->add(p);
        auto w = window();
        QFile::remove(ProjectStore::defaultFilePath());
        sortAction(*w, entry)->trigger();
        QCOMPARE(names(*m_store), expected);
        QCOMPARE(rows(w->findChild<QListWidget *>(QStringLiteral("projectList"))), expected);
        // Only a real sort is saved.
        QCOMPARE(QFile::exists(ProjectStore::defaultFilePath()), entry != QLatin1String("Manual"));
    }

    void editReorderAndRemove() {
        const Project one = project(QStringLiteral("One"));
        for (const Project &p : {one, project(QStringLiteral("Two")), project(QStringLiteral("C"))})
            m_store->add(p);
        auto w = window();
        auto *list = w->findChild<QListWidget *>(QStringLiteral("projectList"));
        auto *remove = w->findChild<QToolButton *>(QStringLiteral("removeButton"));
        auto *stack = w->findChild<QStackedWidget *>(QStringLiteral("detailStack"));
        QVERIFY(!remove->isEnabled());
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("emptyState"));

        w->select(one.id);
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("projectDetail"));
        // A launch writes lastUsedAt while the editor is open; saving the edit keeps it.
        Project launched = one;
        launched.lastUsedAt = day(9);
        m_store->update(launched);
        auto *name = w->findChild<QLineEdit *>(QStringLiteral("nameEdit"));
        name->setText(QStringLiteral("New Name"));
        QVERIFY(!fileBytes().contains("New Name"));
        QTest::keyClick(name, Qt::Key_Return);
        QVERIFY(fileBytes().contains("New Name"));
        QCOMPARE(m_store->projects().first().lastUsedAt, day(9));
        QCOMPARE(rows(list), (QStringList{"New Name", "Two", "C"}));

        // What an internal drag does to the list's model.
        QVERIFY(list->model()->moveRow(QModelIndex(), 0, QModelIndex(), 2));
        QCOMPARE(names(*m_store), (QStringList{"Two", "New Name", "C"}));
        QCOMPARE(rows(list), names(*m_store));

        list->setCurrentRow(1);
        QVERIFY(remove->isEnabled());
        remove->click();
        QCOMPARE(names(*m_store), (QStringList{"Two", "C"}));
        QVERIFY(!w->selectedProjectId());
        QVERIFY(!remove->isEnabled());
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("emptyState"));
    }

    void drops() {
        const auto nameOf = [](ProjectsWindow &w) {
            return w.addSheet()->findChild<QLineEdit *>(QStringLiteral("nameEdit"))->text();
        };
        // A drop while the window is hidden waits for it; a later one replaces the open sheet.
        auto w = window();
        m_drops->setPendingDrop(m_dir.path() + QStringLiteral("/My App"));
        QVERIFY(!w->addSheet());
        w->show();
        QVERIFY(w->addSheet());
        QVERIFY(!m_drops->pendingName());
        QCOMPARE(nameOf(*w), QStringLiteral("My App"));
        QPointer<AddProjectSheet> first = w->addSheet();
        m_drops->setPendingDrop(m_dir.path() + QStringLiteral("/Other/"));
        QVERIFY(w->addSheet() != first.data());
        QCOMPARE(nameOf(*w), QStringLiteral("Other"));
        QCOMPARE(w->addSheet()->findChild<QLineEdit *>(QStringLiteral("directoryEdit"))->text(),
                 m_dir.path() + QStringLiteral("/Other"));
        QVERIFY(!m_drops->takePendingDrop());

        // Dropped URLs: the first item must be a folder.
        for (const char *folder : {"First", "Second"})
            QDir(m_dir.path()).mkpath(QLatin1String(folder));
        QFile(m_dir.filePath(QStringLiteral("file.txt"))).open(QIODevice::WriteOnly);
        const auto url = [&](const char *name) {
            return QUrl::fromLocalFile(m_dir.filePath(QLatin1String(name)));
        };
        auto other = window();
        other->show();
        QVERIFY(!other->dropUrls({}));
        QVERIFY(other->dropUrls({url("file.txt"), url("Second")}));
        QVERIFY(!other->addSheet());
        QVERIFY(other->dropUrls({url("First"), url("Second")}));
        QCOMPARE(nameOf(*other), QStringLiteral("First"));
        QCOMPARE(other->addSheet()->findChild<QLineEdit *>(QStringLiteral("directoryEdit"))->text(),
                 m_dir.filePath(QStringLiteral("First")));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestProjectsWindow)
#include "tst_projectswindow.moc"
