#pragma once

#include "app/LoginItem.h"

#include <QString>

namespace quillet {

// An XDG autostart entry, $XDG_CONFIG_HOME/autostart/<app id>.desktop, that runs `quillet`.
class XdgAutostartLoginItem : public LoginItem {
public:
    // `executable` is what the entry runs; empty means this process's own executable.
    explicit XdgAutostartLoginItem(QString executable = {});

    bool setEnabled(bool enabled) override;
    bool isEnabled() const override;

    static QString entryPath();

private:
    QString m_executable;
};

} // namespace quillet
