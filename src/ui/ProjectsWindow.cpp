#include "ui/ProjectsWindow.h"

#include "agent/AgentService.h"
#include "projects/DropCoordinator.h"
#include "projects/ProjectStore.h"
#include "ui/AddProjectSheet.h"
#include "ui/Alerts.h"
#include "ui/ProjectDetailPane.h"
#include "ui/ProjectRowDelegate.h"
#include "ui/StatusIcons.h"

#include <QCollator>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace quillet {

namespace {

QToolButton *toolButton(QWidget *parent, const char *name, const QString &theme,
                        QStyle::StandardPixmap fallback, const QString &text, const QString &tip) {
    auto *button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setIcon(QIcon::fromTheme(theme, parent->style()->standardIcon(fallback)));
    button->setText(text);
    button->setToolTip(tip);
    button->setAutoRaise(true);
    return button;
}

QWidget *emptyStatePanel(QWidget *parent) {
    auto *panel = new QWidget(parent);
    panel->setObjectName(QStringLiteral("emptyState"));
    auto *symbol = new QLabel(panel);
    symbol->setPixmap(QIcon::fromTheme(QStringLiteral("folder"),
                                       parent->style()->standardIcon(QStyle::SP_DirIcon))
                          .pixmap(48, 48));
    symbol->setAlignment(Qt::AlignCenter);
    auto *title = new QLabel(QStringLiteral("No Project Selected"), panel);
    title->setObjectName(QStringLiteral("emptyTitle"));
    QFont font = title->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    title->setFont(font);
    title->setAlignment(Qt::AlignCenter);
    auto *text =
        new QLabel(QStringLiteral("Select a project from the sidebar or add a new one."), panel);
    text->setAlignment(Qt::AlignCenter);
    text->setEnabled(false);
    auto *layout = new QVBoxLayout(panel);
    layout->addStretch(1);
    layout->addWidget(symbol);
    layout->addWidget(title);
    layout->addWidget(text);
    layout->addStretch(1);
    return panel;
}

} // namespace

ProjectsWindow::ProjectsWindow(ProjectStore &store, DropCoordinator &drops, AgentService *engine,
                               const QuestionTexts *questions, QWidget *parent)
    : QWidget(parent), m_store(store), m_drops(drops), m_engine(engine), m_questions(questions) {
    setObjectName(QStringLiteral("projectsWindow"));
    setWindowTitle(QStringLiteral("Quillet — Projects"));
    setMinimumSize(600, 400);
    resize(700, 450);
    setAcceptDrops(true);

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("projectList"));
    m_list->setItemDelegate(new ProjectRowDelegate(m_list));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setDragDropMode(QAbstractItemView::InternalMove);
    m_list->setDefaultDropAction(Qt::MoveAction);

    auto *sort = toolButton(this, "sortButton", QStringLiteral("view-sort"), QStyle::SP_ArrowDown,
                            QStringLiteral("Sort"), QStringLiteral("Sort Projects"));
    auto *sortMenu = new QMenu(sort);
    sortMenu->setObjectName(QStringLiteral("sortMenu"));
    sortMenu->addAction(QStringLiteral("Manual")); // the list already is in manual order
    sortMenu->addAction(QStringLiteral("Name"), this, &ProjectsWindow::sortByName);
    sortMenu->addAction(QStringLiteral("Recently Used"), this, &ProjectsWindow::sortByRecentUse);
    sort->setMenu(sortMenu);
    sort->setPopupMode(QToolButton::InstantPopup);
    auto *add =
        toolButton(this, "addButton", QStringLiteral("list-add"), QStyle::SP_FileDialogNewFolder,
                   QStringLiteral("+"), QStringLiteral("Add Project"));
    m_remove = toolButton(this, "removeButton", QStringLiteral("list-remove"), QStyle::SP_TrashIcon,
                          QStringLiteral("−"), QStringLiteral("Remove Project"));

    auto *toolbar = new QHBoxLayout;
    toolbar->setContentsMargins(0, 0, 0, 0);
    toolbar->addStretch(1);
    toolbar->addWidget(sort);
    toolbar->addWidget(add);
    toolbar->addWidget(m_remove);

    auto *sidebar = new QWidget(this);
    auto *sidebarLayout = new QVBoxLayout(sidebar);
    sidebarLayout->setContentsMargins(0, 0, 0, 0);
    sidebarLayout->addLayout(toolbar);
    sidebarLayout->addWidget(m_list, 1);

    m_detailStack = new QStackedWidget(this);
    m_detailStack->setObjectName(QStringLiteral("detailStack"));
    m_emptyState = emptyStatePanel(this);
    m_detailStack->addWidget(m_emptyState);

    auto *splitter = new QSplitter(this);
    splitter->addWidget(sidebar);
    splitter->addWidget(m_detailStack);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({220, 480});
    splitter->setChildrenCollapsible(false);
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(splitter);

    connect(&m_store, &ProjectStore::changed, this, &ProjectsWindow::rebuildList);
    connect(m_list, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *item) {
        select(item ? std::optional(item->data(ProjectRowDelegate::idRole).toUuid())
                    : std::nullopt);
    });
    connect(m_list->model(), &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex &, int start, int end, const QModelIndex &, int row) {
                rowsMoved(start, end, row);
            });
    connect(add, &QToolButton::clicked, this, [this] { showAddSheet(AddProjectRequest{}); });
    connect(m_remove, &QToolButton::clicked, this, &ProjectsWindow::removeSelected);
    connect(&m_drops, &DropCoordinator::pendingChanged, this, &ProjectsWindow::checkPendingDrop);

    if (m_engine)
        connect(m_engine, &AgentService::stateChanged, this, &ProjectsWindow::engineChanged);
    rebuildList();
    showDetail();
}

void ProjectsWindow::engineChanged() {
    rebuildList();
    if (m_detail)
        m_detail->updateStatus();
}

bool ProjectsWindow::isRunning(const QUuid &id) const {
    const auto project = m_store.project(id);
    return project && m_engine && ProjectDetailPane::monitoredPane(*m_engine, *project);
}

void ProjectsWindow::rebuildList() {
    const QList<Project> &projects = m_store.projects();
    bool sameOrder = m_list->count() == projects.size();
    for (int i = 0; sameOrder && i < projects.size(); ++i)
        sameOrder = m_list->item(i)->data(ProjectRowDelegate::idRole).toUuid() == projects[i].id;
    const QSignalBlocker blocker(m_list);
    if (!sameOrder) {
        m_list->clear();
        for (int i = 0; i < projects.size(); ++i)
            m_list->addItem(new QListWidgetItem);
    }
    for (int i = 0; i < projects.size(); ++i) {
        QListWidgetItem *item = m_list->item(i);
        const Project &p = projects[i];
        item->setText(p.name);
        item->setData(ProjectRowDelegate::idRole, p.id);
        item->setData(ProjectRowDelegate::directoryRole, p.directory);
        item->setIcon(StatusIcons::projectDot(isRunning(p.id)));
        item->setToolTip(p.directory);
        if (m_selected == p.id)
            m_list->setCurrentItem(item);
    }
    if (m_selected && !m_store.project(*m_selected))
        select(std::nullopt);
    m_remove->setEnabled(m_selected.has_value());
}

void ProjectsWindow::select(const std::optional<QUuid> &id) {
    if (id == m_selected && (!id || (m_detail && m_detail->projectId() == *id)))
        return;
    // The editor being replaced keeps what was typed last.
    if (m_detail)
        m_detail->save();
    m_selected = id;
    {
        const QSignalBlocker blocker(m_list);
        m_list->setCurrentItem(nullptr);
        for (int i = 0; id && i < m_list->count(); ++i) {
            if (m_list->item(i)->data(ProjectRowDelegate::idRole).toUuid() == *id)
                m_list->setCurrentRow(i);
        }
    }
    m_remove->setEnabled(m_selected.has_value());
    showDetail();
}

void ProjectsWindow::showDetail() {
    if (m_detail) {
        m_detailStack->removeWidget(m_detail);
        m_detail->deleteLater();
        m_detail = nullptr;
    }
    const auto project = m_selected ? m_store.project(*m_selected) : std::nullopt;
    if (!project) {
        m_detailStack->setCurrentWidget(m_emptyState);
        return;
    }
    m_detail = new ProjectDetailPane(m_store, *project, m_engine, m_questions, m_detailStack);
    m_detailStack->addWidget(m_detail);
    m_detailStack->setCurrentWidget(m_detail);
}

void ProjectsWindow::removeSelected() {
    if (!m_selected)
        return;
    const QUuid id = *m_selected;
    if (m_detail) {
        m_detail->deleteLater();
        m_detailStack->removeWidget(m_detail);
        m_detail = nullptr;
    }
    m_selected.reset();
    if (!m_store.remove(id)) {
        Alerts::projectsNotSaved(m_store.lastError(), this);
        select(id);
        return;
    }
    showDetail();
    m_remove->setEnabled(false);
}

void ProjectsWindow::rowsMoved(int start, int end, int destination) {
    QSet<int> from;
    for (int i = start; i <= end; ++i)
        from.insert(i);
    // The list has already moved its rows, so the store's change leaves the rows as they are;
    // a refused move puts them back through the store's undo.
    if (!m_store.move(from, destination))
        Alerts::projectsNotSaved(m_store.lastError(), this);
}

void ProjectsWindow::sortByName() {
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    if (!m_store.sort([&collator](const Project &a, const Project &b) {
            return collator.compare(a.name, b.name) < 0;
        }))
        Alerts::projectsNotSaved(m_store.lastError(), this);
}

void ProjectsWindow::sortByRecentUse() {
    if (!m_store.sort([](const Project &a, const Project &b) {
            if (!a.lastUsedAt || !b.lastUsedAt)
                return a.lastUsedAt.has_value() && !b.lastUsedAt.has_value();
            return *a.lastUsedAt > *b.lastUsedAt;
        }))
        Alerts::projectsNotSaved(m_store.lastError(), this);
}

void ProjectsWindow::showAddSheet(const AddProjectRequest &request) {
    if (m_sheet)
        m_sheet->close();
    m_addRequest = request;
    auto *sheet = new AddProjectSheet(m_store, request.name, request.directory, this);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    const QUuid requestId = request.id;
    connect(sheet, &QDialog::finished, this, [this, requestId] {
        if (m_addRequest && m_addRequest->id == requestId)
            m_addRequest.reset();
    });
    m_sheet = sheet;
    sheet->open();
}

void ProjectsWindow::checkPendingDrop() {
    // A hidden window leaves the drop pending; showing the window takes it.
    if (!isVisible())
        return;
    if (const auto request = m_drops.takePendingDrop())
        showAddSheet(*request);
}

void ProjectsWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    checkPendingDrop();
}

void ProjectsWindow::dragEnterEvent(QDragEnterEvent *event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void ProjectsWindow::dropEvent(QDropEvent *event) {
    if (dropUrls(event->mimeData()->urls()))
        event->acceptProposedAction();
}

bool ProjectsWindow::dropUrls(const QList<QUrl> &urls) {
    if (urls.isEmpty())
        return false;
    // Only the first dropped item counts, and only when it is a folder.
    if (const auto folder = DropCoordinator::firstFolder({urls.first()}))
        showAddSheet(AddProjectRequest::forFolder(*folder));
    return true;
}

} // namespace quillet

namespace quillet {

AddProjectSheet *ProjectsWindow::addSheet() const {
    return m_sheet;
}

} // namespace quillet
