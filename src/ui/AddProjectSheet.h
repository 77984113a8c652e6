#pragma once

#include "projects/CodingTool.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillet {

class ProjectStore;

// The one place where a project is created: a modal sheet over the projects window, empty or
// prefilled from a dropped folder. Accepted once the project is in the store.
class AddProjectSheet : public QDialog {
    Q_OBJECT
public:
    AddProjectSheet(ProjectStore &store, const QString &initialName,
                    const QString &initialDirectory, QWidget *parent = nullptr);

    QString errorMessage() const;

private:
    void browse();
    void toolChanged();
    void updateAddEnabled();
    void add();

    ProjectStore &m_store;
    CodingTool m_tool = CodingTool::claudeCode;
    QLineEdit *m_name;
    QLineEdit *m_directory;
    QPushButton *m_browse;
    QComboBox *m_toolPicker;
    QLineEdit *m_launchCommand;
    QCheckBox *m_autoLaunch;
    QLabel *m_error;
    QPushButton *m_cancel;
    QPushButton *m_add;
};

} // namespace quillet
