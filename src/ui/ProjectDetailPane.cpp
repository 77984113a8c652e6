#include "ui/ProjectDetailPane.h"

#include "agent/AgentClient.h"
#include "agent/AgentService.h"
#include "agent/TmuxService.h"
#include "projects/ProjectStore.h"
#include "ui/Alerts.h"
#include "ui/FolderPicker.h"
#include "ui/QuestionTexts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace quillet {

ProjectDetailPane::ProjectDetailPane(ProjectStore &store, const Project &project,
                                     AgentService *engine, const QuestionTexts *questions,
                                     QWidget *parent)
    : QWidget(parent), m_store(store), m_project(project), m_tool(project.tool), m_engine(engine),
      m_questions(questions) {
    setObjectName(QStringLiteral("projectDetail"));

    m_name = new QLineEdit(project.name, this);
    m_name->setObjectName(QStringLiteral("nameEdit"));
    m_directory = new QLineEdit(project.directory, this);
    m_directory->setObjectName(QStringLiteral("directoryEdit"));
    auto *browse = new QPushButton(QStringLiteral("Browse..."), this);
    browse->setObjectName(QStringLiteral("browseButton"));
    auto *directoryRow = new QHBoxLayout;
    directoryRow->addWidget(m_directory, 1);
    directoryRow->addWidget(browse);

    m_toolPicker = new QComboBox(this);
    m_toolPicker->setObjectName(QStringLiteral("toolPicker"));
    for (CodingTool tool : allCodingTools)
        m_toolPicker->addItem(displayName(tool), static_cast<int>(tool));
    m_toolPicker->setCurrentIndex(m_toolPicker->findData(static_cast<int>(project.tool)));

    m_launchCommand = new QLineEdit(project.launchCommand, this);
    m_launchCommand->setObjectName(QStringLiteral("launchCommandEdit"));
    m_launchCommand->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_sessionName = new QLineEdit(project.tmuxSessionName, this);
    m_sessionName->setObjectName(QStringLiteral("sessionNameEdit"));
    m_autoLaunch = new QCheckBox(QStringLiteral("Auto-launch on app start"), this);
    m_autoLaunch->setObjectName(QStringLiteral("autoLaunchCheck"));
    m_autoLaunch->setChecked(project.autoLaunch);

    auto *configuration = new QGroupBox(QStringLiteral("Configuration"), this);
    configuration->setObjectName(QStringLiteral("configurationSection"));
    auto *form = new QFormLayout(configuration);
    form->addRow(QStringLiteral("Name:"), m_name);
    form->addRow(QStringLiteral("Directory:"), directoryRow);
    form->addRow(QStringLiteral("Coding Tool:"), m_toolPicker);
    form->addRow(QStringLiteral("Launch Command:"), m_launchCommand);
    form->addRow(QStringLiteral("Tmux Session Name:"), m_sessionName);
    form->addRow(QString(), m_autoLaunch);

    m_status = new QGroupBox(QStringLiteral("Status"), this);
    m_status->setObjectName(QStringLiteral("statusSection"));
    m_status->hide();
    auto *statusForm = new QFormLayout(m_status);
    m_sessionState = new QLabel(m_status);
    m_sessionState->setObjectName(QStringLiteral("sessionStateLabel"));
    statusForm->addRow(QStringLiteral("Session"), m_sessionState);
    m_questionLabel = new QLabel(QStringLiteral("Pending Question"), m_status);
    m_question = new QLabel(m_status);
    m_question->setObjectName(QStringLiteral("pendingQuestionLabel"));
    m_question->setWordWrap(true);
    m_question->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusForm->addRow(m_questionLabel, m_question);
    auto *focus = new QPushButton(QStringLiteral("Focus Terminal"), m_status);
    focus->setObjectName(QStringLiteral("focusTerminalButton"));
    auto *stop = new QPushButton(QStringLiteral("Stop Session"), m_status);
    stop->setObjectName(QStringLiteral("stopSessionButton"));
    stop->setStyleSheet(QStringLiteral("QPushButton { color: #d70015; }"));
    auto *statusButtons = new QHBoxLayout;
    statusButtons->addWidget(focus);
    statusButtons->addWidget(stop);
    statusButtons->addStretch(1);
    statusForm->addRow(statusButtons);
    connect(focus, &QPushButton::clicked, this, [this] {
        (void)QtConcurrent::run(&TmuxService::attachInTerminal, m_sessionName->text());
    });
    connect(stop, &QPushButton::clicked, this, &ProjectDetailPane::stopSession);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(configuration);
    layout->addWidget(m_status);
    layout->addStretch(1);

    for (QLineEdit *field : {m_name, m_directory, m_launchCommand, m_sessionName}) {
        field->installEventFilter(this);
        connect(field, &QLineEdit::returnPressed, this, &ProjectDetailPane::save);
    }
    connect(browse, &QPushButton::clicked, this, &ProjectDetailPane::browse);
    connect(m_toolPicker, &QComboBox::currentIndexChanged, this, &ProjectDetailPane::toolChanged);
    connect(m_autoLaunch, &QCheckBox::toggled, this, &ProjectDetailPane::save);
    updateStatus();
}

std::optional<QString> ProjectDetailPane::monitoredPane(const AgentService &engine,
                                                        const Project &project) {
    const QStringList panes = engine.panesOf(project.id);
    if (panes.isEmpty())
        return std::nullopt;
    return panes.first();
}

void ProjectDetailPane::updateStatus() {
    const auto pane = m_engine ? monitoredPane(*m_engine, m_project) : std::nullopt;
    m_status->setVisible(pane.has_value());
    if (!pane)
        return;
    switch (m_engine->monitoredSessions().value(*pane).status) {
    case SessionStatus::active:
        m_sessionState->setText(QStringLiteral("Active"));
        m_sessionState->setStyleSheet(QStringLiteral("color: #1f9d3a;"));
        break;
    case SessionStatus::waitingForInput:
        m_sessionState->setText(QStringLiteral("Waiting for Input"));
        m_sessionState->setStyleSheet(QStringLiteral("color: #e07000;"));
        break;
    case SessionStatus::idle:
        m_sessionState->setText(QStringLiteral("Idle"));
        m_sessionState->setStyleSheet(QStringLiteral("color: #1f9d3a;"));
        break;
    }
    // The first pending question among the project's panes.
    std::optional<QString> question;
    for (const QString &target : m_engine->panesOf(m_project.id)) {
        if (question || !m_questions)
            break;
        question = m_questions->pendingText(target);
    }
    m_questionLabel->setVisible(question.has_value());
    m_question->setVisible(question.has_value());
    m_question->setText(question.value_or(QString()));
}

void ProjectDetailPane::stopSession() {
    if (!m_engine)
        return;
    const auto pane = monitoredPane(*m_engine, m_project);
    if (!pane)
        return;
    // Closes its server session too. The tmux session keeps running; the monitor finds the pane
    // again at its next scan.
    m_engine->forgetPane(*pane);
    updateStatus();
}

bool ProjectDetailPane::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
        save();
    return QWidget::eventFilter(watched, event);
}

void ProjectDetailPane::browse() {
    const auto folder =
        FolderPicker::chooseFolder(this, QStringLiteral("Select the project directory"));
    if (!folder)
        return;
    m_directory->setText(QDir::cleanPath(*folder));
    save();
}

void ProjectDetailPane::toolChanged() {
    const auto tool = static_cast<CodingTool>(m_toolPicker->currentData().toInt());
    m_launchCommand->setText(launchCommandAfterToolChange(m_tool, tool, m_launchCommand->text()));
    m_tool = tool;
    save();
}

void ProjectDetailPane::save() {
    // Start from the store's current record, not the one this pane was built from: a launch
    // meanwhile has written lastUsedAt, which an older copy would undo.
    Project project = m_store.project(m_project.id).value_or(m_project);
    project.name = m_name->text();
    project.directory = m_directory->text();
    project.tmuxSessionName = m_sessionName->text();
    project.tool = m_tool;
    project.launchCommand = m_launchCommand->text();
    project.autoLaunch = m_autoLaunch->isChecked();
    m_project = project;
    // Focus moves often; rewrite the file (and rebuild the menu) only when something changed.
    if (m_store.project(project.id) == project)
        return;
    if (!m_store.update(project))
        Alerts::projectsNotSaved(m_store.lastError(), this);
}

} // namespace quillet
