#include "ui/TrayMenu.h"

#include "ui/StatusIcons.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

namespace quillet {

namespace {

template <typename Id>
void connectWithId(QAction *action, const Id &id, std::function<void(const Id &)> handler) {
    action->setData(QVariant::fromValue(id));
    QObject::connect(action, &QAction::triggered, action, [action, handler] {
        const QVariant data = action->data();
        if (handler && data.canConvert<Id>())
            handler(data.value<Id>());
    });
}

void connectPlain(QAction *action, std::function<void()> handler) {
    QObject::connect(action, &QAction::triggered, action, [handler] {
        if (handler)
            handler();
    });
}

} // namespace

void TrayMenu::build(QMenu &menu, const State &state, const Actions &actions) {
    // Submenus are children of the menu; clear() drops only the actions.
    for (QMenu *old : menu.findChildren<QMenu *>(Qt::FindDirectChildrenOnly))
        old->deleteLater();
    menu.clear();

    QAction *title = menu.addAction(QStringLiteral("Quillet"));
    title->setEnabled(false);
    menu.addSeparator();

    if (state.projects) {
        for (const ProjectEntry &project : *state.projects) {
            if (!project.running) {
                QAction *item = menu.addAction(StatusIcons::projectDot(false), project.name);
                connectWithId<QUuid>(item, project.id, actions.launch);
                continue;
            }
            auto *submenu = new QMenu(project.name, &menu);
            submenu->setIcon(StatusIcons::projectDot(true));
            connectWithId<QUuid>(submenu->addAction(QStringLiteral("Open Terminal")), project.id,
                                 actions.openTerminal);
            connectWithId<QUuid>(submenu->addAction(QStringLiteral("Stop")), project.id,
                                 actions.stop);
            menu.addMenu(submenu);
        }
        if (state.projects->isEmpty())
            menu.addAction(QStringLiteral("No projects"))->setEnabled(false);
    }

    menu.addSeparator();
    QAction *manage = menu.addAction(QStringLiteral("Manage Projects..."));
    manage->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connectPlain(manage, actions.openProjects);
    menu.addSeparator();

    if (state.signedIn) {
        connectPlain(menu.addAction(QStringLiteral("Pair Device...")), actions.openPairDevice);
        for (const PairedDeviceResponse &device : state.devices) {
            auto *submenu = new QMenu(device.deviceName, &menu);
            // Exactly "ios" is a phone; anything else, "iOS" included, is shown as a computer.
            submenu->setIcon(StatusIcons::device(device.deviceType == QLatin1String("ios")));
            submenu->menuAction()->setToolTip(device.deviceType);
            connectWithId<QString>(submenu->addAction(QStringLiteral("Disconnect")), device.id,
                                   actions.disconnect);
            menu.addMenu(submenu);
        }
    } else {
        connectPlain(menu.addAction(QStringLiteral("Sign In...")), actions.openSignIn);
    }

    menu.addSeparator();
    connectPlain(menu.addAction(QStringLiteral("Settings...")), actions.openSettings);
    menu.addSeparator();
    QAction *quit = menu.addAction(QStringLiteral("Quit Quillet"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connectPlain(quit, actions.quit);
}

} // namespace quillet
