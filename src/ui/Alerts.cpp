#include "ui/Alerts.h"

#include <QMessageBox>
#include <QPushButton>

namespace quillet {

int Alerts::show(const Alert &alert, QWidget *parent) {
    if (answer)
        return answer(alert);
    QMessageBox box(alert.kind == Kind::critical ? QMessageBox::Critical : QMessageBox::Warning,
                    QStringLiteral("Quillet"), alert.message, QMessageBox::NoButton, parent);
    box.setInformativeText(alert.informativeText);
    const QStringList buttons =
        alert.buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : alert.buttons;
    QList<QPushButton *> pushButtons;
    for (qsizetype i = 0; i < buttons.size(); ++i)
        pushButtons << box.addButton(buttons[i],
                                     i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    box.setDefaultButton(pushButtons.first());
    box.setEscapeButton(pushButtons.last());
    box.exec();
    const auto chosen = pushButtons.indexOf(qobject_cast<QPushButton *>(box.clickedButton()));
    return chosen < 0 ? static_cast<int>(pushButtons.size() - 1) : static_cast<int>(chosen);
}

void Alerts::projectsNotSaved(const QString &reason, QWidget *parent) {
    show({Kind::warning,
          QStringLiteral("The projects file cannot be written, so nothing was changed."),
          reason,
          {}},
         parent);
}

} // namespace quillet
