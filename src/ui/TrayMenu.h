#pragma once

#include "api/PairedDeviceResponse.h"

#include <QList>
#include <QString>
#include <QUuid>
#include <functional>
#include <optional>

class QMenu;

namespace quillet {

// The status menu, built from scratch from a snapshot of the state: the projects with their
// running state, the account and its phones, the windows, and "Quit Quillet".
class TrayMenu {
public:
    struct ProjectEntry {
        QUuid id;
        QString name;
        bool running = false;
    };
    struct State {
        // Absent while there is no project store.
        std::optional<QList<ProjectEntry>> projects;
        bool signedIn = false;
        QList<PairedDeviceResponse> devices;
    };
    struct Actions {
        std::function<void(const QUuid &)> launch;
        std::function<void(const QUuid &)> openTerminal;
        std::function<void(const QUuid &)> stop;
        std::function<void(const QString &deviceId)> disconnect;
        std::function<void()> openProjects;
        std::function<void()> openPairDevice;
        std::function<void()> openSignIn;
        std::function<void()> openSettings;
        std::function<void()> quit;
    };

    // Replaces everything in `menu`. Each project and device action carries its id as the
    // action's data and hands that id (not a captured copy of the entry) to the handler.
    static void build(QMenu &menu, const State &state, const Actions &actions);
};

} // namespace quillet
