#include "common/InputKey.h"

#include <array>
#include <utility>

namespace quillet {

namespace {

// wire name, tmux key name
const std::array<std::pair<const char *, const char *>, 11> keys{{
    {"Enter", "Enter"},
    {"Escape", "Escape"},
    {"Tab", "Tab"},
    {"Shift-Tab", "BTab"},
    {"Backspace", "BSpace"},
    {"Up", "Up"},
    {"Down", "Down"},
    {"Left", "Left"},
    {"Right", "Right"},
    {"Ctrl-C", "C-c"},
    {"Ctrl-D", "C-d"},
}};

} // namespace

const QStringList &InputKey::names() {
    static const QStringList list = [] {
        QStringList out;
        for (const auto &[wire, tmux] : keys)
            out << QString::fromLatin1(wire);
        return out;
    }();
    return list;
}

std::optional<QString> InputKey::tmuxName(const QString &wireName) {
    for (const auto &[wire, tmux] : keys)
        if (wireName == QLatin1String(wire))
            return QString::fromLatin1(tmux);
    return std::nullopt;
}

} // namespace quillet
