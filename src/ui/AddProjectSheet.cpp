#include "ui/AddProjectSheet.h"

#include "projects/AddProjectAction.h"
#include "ui/FolderPicker.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillet {

AddProjectSheet::AddProjectSheet(ProjectStore &store, const QString &initialName,
                                 const QString &initialDirectory, QWidget *parent)
    : QDialog(parent), m_store(store) {
    setObjectName(QStringLiteral("addProjectSheet"));
    setWindowTitle(QStringLiteral("Add Project"));
    setModal(true);

    auto *title = new QLabel(QStringLiteral("Add Project"), this);
    title->setObjectName(QStringLiteral("title"));
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    title->setFont(titleFont);

    m_name = new QLineEdit(initialName, this);
    m_name->setObjectName(QStringLiteral("nameEdit"));
    m_directory = new QLineEdit(initialDirectory, this);
    m_directory->setObjectName(QStringLiteral("directoryEdit"));
    m_browse = new QPushButton(QStringLiteral("Browse..."), this);
    m_browse->setObjectName(QStringLiteral("browseButton"));
    m_browse->setAutoDefault(false);
    auto *directoryRow = new QHBoxLayout;
    directoryRow->addWidget(m_directory, 1);
    directoryRow->addWidget(m_browse);

    m_toolPicker = new QComboBox(this);
    m_toolPicker->setObjectName(QStringLiteral("toolPicker"));
    for (CodingTool tool : allCodingTools)
        m_toolPicker->addItem(displayName(tool), static_cast<int>(tool));

    m_launchCommand = new QLineEdit(defaultLaunchCommand(m_tool), this);
    m_launchCommand->setObjectName(QStringLiteral("launchCommandEdit"));
    m_launchCommand->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    m_autoLaunch = new QCheckBox(QStringLiteral("Auto-launch on app start"), this);
    m_autoLaunch->setObjectName(QStringLiteral("autoLaunchCheck"));

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Name:"), m_name);
    form->addRow(QStringLiteral("Directory:"), directoryRow);
    form->addRow(QStringLiteral("Coding Tool:"), m_toolPicker);
    form->addRow(QStringLiteral("Launch Command:"), m_launchCommand);
    form->addRow(QString(), m_autoLaunch);

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("errorLabel"));
    m_error->setStyleSheet(QStringLiteral("color: #d70015;"));
    m_error->setWordWrap(true);
    m_error->hide();

    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setAutoDefault(false);
    m_add = new QPushButton(QStringLiteral("Add"), this);
    m_add->setObjectName(QStringLiteral("addButton"));
    m_add->setDefault(true);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_add);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addLayout(form);
    layout->addWidget(m_error);
    layout->addLayout(buttons);
    setMinimumWidth(440);

    connect(m_name, &QLineEdit::textChanged, this, &AddProjectSheet::updateAddEnabled);
    connect(m_directory, &QLineEdit::textChanged, this, &AddProjectSheet::updateAddEnabled);
    connect(m_browse, &QPushButton::clicked, this, &AddProjectSheet::browse);
    connect(m_toolPicker, &QComboBox::currentIndexChanged, this, &AddProjectSheet::toolChanged);
    // Escape rejects through QDialog itself.
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_add, &QPushButton::clicked, this, &AddProjectSheet::add);
    updateAddEnabled();
}

QString AddProjectSheet::errorMessage() const {
    return m_error->isHidden() ? QString() : m_error->text();
}

void AddProjectSheet::browse() {
    const auto folder =
        FolderPicker::chooseFolder(this, QStringLiteral("Select the project directory"));
    if (!folder)
        return;
    const QString path = QDir::cleanPath(*folder);
    m_directory->setText(path);
    if (m_name->text().isEmpty())
        m_name->setText(QFileInfo(path).fileName());
}

void AddProjectSheet::toolChanged() {
    const auto tool = static_cast<CodingTool>(m_toolPicker->currentData().toInt());
    m_launchCommand->setText(launchCommandAfterToolChange(m_tool, tool, m_launchCommand->text()));
    m_tool = tool;
}

void AddProjectSheet::updateAddEnabled() {
    m_add->setEnabled(AddProjectAction::canAdd(m_name->text(), m_directory->text()));
}

void AddProjectSheet::add() {
    // Return reaches here through the default button, which is disabled while nothing is typed.
    if (!m_add->isEnabled())
        return;
    AddProjectAction::Entries entries;
    entries.name = m_name->text();
    entries.directory = m_directory->text();
    entries.tool = m_tool;
    entries.launchCommand = m_launchCommand->text();
    entries.autoLaunch = m_autoLaunch->isChecked();
    const AddProjectAction::Result result = AddProjectAction::run(m_store, entries);
    if (!result.project) {
        m_error->setText(result.errorMessage);
        m_error->show();
        return;
    }
    accept();
}

} // namespace quillet
