#pragma once

#include "projects/Project.h"
#include "ui/QuestionTexts.h"

#include <QPointer>
#include <QWidget>
#include <optional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillet {

class AgentService;
class ProjectStore;

// The editor of one project. Every edit goes straight to the store: a text field when Return is
// pressed in it and when it gains or loses focus, the picker, the switch and "Browse..." at once.
// Nothing is validated here.
class ProjectDetailPane : public QWidget {
    Q_OBJECT
public:
    ProjectDetailPane(ProjectStore &store, const Project &project, AgentService *engine = nullptr,
                      const QuestionTexts *questions = nullptr, QWidget *parent = nullptr);

    QUuid projectId() const { return m_project.id; }

    // The "Status" section: shown while the project has a monitored pane.
    QGroupBox *statusSection() const { return m_status; }

    void save();
    // Shows or hides the "Status" section from the engine's current state.
    void updateStatus();

    // The first pane of the project that the engine watches: its pane target.
    static std::optional<QString> monitoredPane(const AgentService &engine, const Project &project);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void browse();
    void toolChanged();
    void stopSession();

    ProjectStore &m_store;
    Project m_project;
    CodingTool m_tool;
    QLineEdit *m_name;
    QLineEdit *m_directory;
    QComboBox *m_toolPicker;
    QLineEdit *m_launchCommand;
    QLineEdit *m_sessionName;
    QCheckBox *m_autoLaunch;
    QGroupBox *m_status;
    QPointer<AgentService> m_engine;
    QPointer<const QuestionTexts> m_questions;
    QLabel *m_sessionState;
    QLabel *m_questionLabel;
    QLabel *m_question;
};

} // namespace quillet
