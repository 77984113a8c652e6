#pragma once

#include <QIcon>
#include <QImage>

namespace quillet {

// The status icon in its three states, drawn rather than shipped so that every panel size gets
// crisp pixels. Panels may be light or dark and the icon cannot know which, so each shape has a
// light fill inside a dark outline: one of the two always stands out.
class StatusIcons {
public:
    enum class State { inactive, monitoring, waiting };

    // Waiting while the running engine has a question out, monitoring while it watches at least
    // one pane, inactive otherwise (also while it runs with no pane to watch).
    static State stateFor(bool engineRunning, qsizetype monitoredPanes, qsizetype pendingQuestions);

    static QIcon icon(State state);
    // One size of it; `size` is in device pixels.
    static QImage render(State state, int size);

    // The dot beside a project: filled green while it runs, an empty ring otherwise.
    static QIcon projectDot(bool running);
    // Phones and computers in the device list.
    static QIcon device(bool phone);
};

} // namespace quillet
