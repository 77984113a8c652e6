#pragma once

#include "projects/AddProjectRequest.h"
#include "ui/QuestionTexts.h"

#include <QPointer>
#include <QUrl>
#include <QUuid>
#include <QWidget>
#include <optional>

class QListWidget;
class QStackedWidget;
class QToolButton;

namespace quillet {

class AddProjectSheet;
class AgentService;
class DropCoordinator;
class ProjectDetailPane;
class ProjectStore;

// "Quillet — Projects": the project list on the left, the selected project's editor on the
// right. Folders dropped on it, or on the status icon, open the add sheet prefilled.
class ProjectsWindow : public QWidget {
    Q_OBJECT
public:
    // `engine` may be null: the running dots and the "Status" section then stay empty.
    ProjectsWindow(ProjectStore &store, DropCoordinator &drops, AgentService *engine = nullptr,
                   const QuestionTexts *questions = nullptr, QWidget *parent = nullptr);

    std::optional<QUuid> selectedProjectId() const { return m_selected; }
    void select(const std::optional<QUuid> &id);

    // Opens the add sheet for `request`, replacing a sheet that is already open.
    void showAddSheet(const AddProjectRequest &request);
    AddProjectSheet *addSheet() const;

    // Dropped locations: the first, when it is a folder, opens the add sheet. True when the drop
    // is taken (anything was dropped).
    bool dropUrls(const QList<QUrl> &urls);

    // Takes a drop left on the status icon, if any.
    void checkPendingDrop();

    // Sort menu entries.
    void sortByName();
    void sortByRecentUse();

protected:
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void rebuildList();
    void engineChanged();
    void showDetail();
    void removeSelected();
    void rowsMoved(int start, int end, int destination);
    bool isRunning(const QUuid &id) const;

    ProjectStore &m_store;
    DropCoordinator &m_drops;
    QPointer<AgentService> m_engine;
    QPointer<const QuestionTexts> m_questions;
    std::optional<QUuid> m_selected;
    std::optional<AddProjectRequest> m_addRequest;
    QListWidget *m_list;
    QToolButton *m_remove;
    QStackedWidget *m_detailStack;
    QWidget *m_emptyState;
    QPointer<ProjectDetailPane> m_detail;
    QPointer<AddProjectSheet> m_sheet;
};

} // namespace quillet
