#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace quillet {

// The keys a phone may press in a pane on purpose. They travel as an input whose "key" member
// names one of them, never inside text, so no text can ever act as a key.
class InputKey {
public:
    // The names on the wire, in the order a phone would show them.
    static const QStringList &names();
    // The tmux key name for a wire name; nothing for a name not on the list (matched exactly).
    static std::optional<QString> tmuxName(const QString &wireName);
};

} // namespace quillet
