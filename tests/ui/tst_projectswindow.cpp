#include "projects/DropCoordinator.h"
#include "projects/ProjectStore.h"
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
    Project p;
    p.id = QUuid::createUuid();
    p.name = name;
    p.directory = QStringLiteral("/tmp/") + name;
    p.tmuxSessionName = sessionName(name);
    p.createdAt = QDateTime(QDate(2025, 1, 1), QTime(0, 0), Qt::UTC);
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
    QFile file(ProjectStore::defaultFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

    void windowBasics() {
        auto w = window();
        QCOMPARE(w->windowTitle(), QStringLiteral("Quillet — Projects"));
        QCOMPARE(w->minimumSize(), QSize(600, 400));
        QCOMPARE(w->size(), QSize(700, 450));
        QCOMPARE(w->findChild<QToolButton *>(QStringLiteral("sortButton"))->toolTip(),
                 QStringLiteral("Sort Projects"));
        QCOMPARE(w->findChild<QMenu *>(QStringLiteral("sortMenu"))->actions().size(), 3);
    }

    void sorts_data() {
        QTest::addColumn<QList<Project>>("projects");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("writes");
        const QList<Project> mixed{
            project(QStringLiteral("beta")), project(QStringLiteral("Alpha")),
            project(QStringLiteral("gamma"), day(2)), project(QStringLiteral("alpha"), day(5))};
        QTest::newRow("manual") << mixed << "Manual"
                                << QStringList{"beta", "Alpha", "gamma", "alpha"} << false;
        QTest::newRow("name, case-insensitive, stable")
            << mixed << "Name" << QStringList{"Alpha", "alpha", "beta", "gamma"} << true;
        QTest::newRow("recently used, never used last in order")
            << mixed << "Recently Used" << QStringList{"alpha", "gamma", "beta", "Alpha"} << true;
        QTest::newRow("recently used C, A, B")
            << QList<Project>{project(QStringLiteral("A")), project(QStringLiteral("B")),
                              project(QStringLiteral("C"), day(1))}
            << "Recently Used" << QStringList{"C", "A", "B"} << true;
    }
    void sorts() {
        QFETCH(QList<Project>, projects);
        QFETCH(QString, entry);
        QFETCH(QStringList, expected);
        QFETCH(bool, writes);
        for (const Project &p : projects)
            m_store->add(p);
        auto w = window();
        const QByteArray before = fileBytes();
        QFile::remove(ProjectStore::defaultFilePath());
        sortAction(*w, entry)->trigger();
        QCOMPARE(names(*m_store), expected);
        QCOMPARE(rows(w->findChild<QListWidget *>(QStringLiteral("projectList"))), expected);
        QCOMPARE(QFile::exists(ProjectStore::defaultFilePath()), writes);
        Q_UNUSED(before);
    }

    void removeShowsEmptyState() {
        m_store->add(project(QStringLiteral("One")));
        m_store->add(project(QStringLiteral("Two")));
        auto w = window();
        auto *remove = w->findChild<QToolButton *>(QStringLiteral("removeButton"));
        auto *stack = w->findChild<QStackedWidget *>(QStringLiteral("detailStack"));
        QVERIFY(!remove->isEnabled());
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("emptyState"));
        w->findChild<QListWidget *>(QStringLiteral("projectList"))->setCurrentRow(1);
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("projectDetail"));
        QVERIFY(remove->isEnabled());
        remove->click();
        QCOMPARE(names(*m_store), QStringList{"One"});
        QVERIFY(!w->selectedProjectId());
        QVERIFY(!remove->isEnabled());
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("emptyState"));
    }

    void editSavesOnReturnAndKeepsLastUsed() {
        const Project original = project(QStringLiteral("Old"));
        m_store->add(original);
        auto w = window();
        w->select(original.id);
        // A launch writes lastUsedAt while the editor is open.
        Project launched = original;
        launched.lastUsedAt = day(9);
        m_store->update(launched);

        auto *name = w->findChild<QLineEdit *>(QStringLiteral("nameEdit"));
        name->setText(QStringLiteral("New Name"));
        QVERIFY(!fileBytes().contains("New Name"));
        QTest::keyClick(name, Qt::Key_Return);
        QVERIFY(fileBytes().contains("New Name"));
        QCOMPARE(m_store->projects().first().name, QStringLiteral("New Name"));
        QCOMPARE(m_store->projects().first().lastUsedAt, day(9));
        QCOMPARE(rows(w->findChild<QListWidget *>(QStringLiteral("projectList"))),
                 QStringList{"New Name"});
    }

    void dragReorderMovesInStore() {
        for (const char *n : {"A", "B", "C"})
            m_store->add(project(QLatin1String(n)));
        auto w = window();
        auto *list = w->findChild<QListWidget *>(QStringLiteral("projectList"));
        // What an internal drag does to the list's model.
        QVERIFY(list->model()->moveRow(QModelIndex(), 0, QModelIndex(), 2));
        QCOMPARE(names(*m_store), (QStringList{"B", "A", "C"}));
        QCOMPARE(rows(list), (QStringList{"B", "A", "C"}));
    }

    void dropUsesFirstFolderOnly_data() {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("expectedName");
        QTest::newRow("three folders") << QStringList{"First", "Second", "Third"} << "First";
        QTest::newRow("file first") << QStringList{"file.txt", "Second"} << "";
    }
    void dropUsesFirstFolderOnly() {
        QFETCH(QStringList, items);
        QFETCH(QString, expectedName);
        QList<QUrl> urls;
        for (const QString &item : items) {
            const QString path = m_dir.path() + QLatin1Char('/') + item;
            if (item.contains(QLatin1Char('.'))) {
                QFile f(path);
                QVERIFY(f.open(QIODevice::WriteOnly));
            } else {
                QDir().mkpath(path);
            }
            urls << QUrl::fromLocalFile(path);
        }
        auto w = window();
        w->show();
        QVERIFY(!w->dropUrls({}));
        QVERIFY(w->dropUrls(urls));
        if (expectedName.isEmpty()) {
            QVERIFY(!w->addSheet());
            return;
        }
        QVERIFY(w->addSheet());
        QCOMPARE(w->addSheet()->findChild<QLineEdit *>(QStringLiteral("nameEdit"))->text(),
                 expectedName);
        QCOMPARE(w->addSheet()->findChild<QLineEdit *>(QStringLiteral("directoryEdit"))->text(),
                 m_dir.path() + QLatin1Char('/') + expectedName);
    }

    void pendingDropOpensSheet() {
        auto w = window();
        m_drops->setPendingDrop(m_dir.path() + QStringLiteral("/My App"));
        // Not shown yet: the drop waits.
        QVERIFY(!w->addSheet());
        QVERIFY(m_drops->pendingName());
        w->show();
        QVERIFY(w->addSheet());
        QVERIFY(!m_drops->pendingName());
        QCOMPARE(w->addSheet()->findChild<QLineEdit *>(QStringLiteral("nameEdit"))->text(),
                 QStringLiteral("My App"));
        // While shown, a new drop replaces the open sheet with a fresh one.
        QPointer<AddProjectSheet> first = w->addSheet();
        m_drops->setPendingDrop(m_dir.path() + QStringLiteral("/Other"));
        QVERIFY(w->addSheet() != first.data());
        QCOMPARE(w->addSheet()->findChild<QLineEdit *>(QStringLiteral("nameEdit"))->text(),
                 QStringLiteral("Other"));
    }
};

QUILLET_TEST_WIDGETS_MAIN(TestProjectsWindow)
#include "tst_projectswindow.moc"
