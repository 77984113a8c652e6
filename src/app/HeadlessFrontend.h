#pragma once

#include "app/ShellFrontend.h"

namespace quillet {

// The frontend of `quillet agent`: no screen, so alerts become error lines in the log, a launch
// opens no terminal and there are no windows to open.
class HeadlessFrontend : public ShellFrontend {
public:
    void installStatusItem() override {}
    void showTmuxNotFound() override;
    void refreshStatus() override {}
    void rebuildMenu() override {}
    void attachTerminal(const QString &session) override;
    void closeSignIn() override {}
    void refreshPairedDevicesIfStale() override {}
    void openMainWindow() override;
    void openSettings() override;
    void openSignIn() override;
    void openPairDevice() override;
};

} // namespace quillet
