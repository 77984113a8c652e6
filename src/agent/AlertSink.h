#pragma once

namespace quillet {

// Where the engine's "a question was posted" alert goes: the tray app plays a sound, the
// headless agent has nowhere to play one.
class AlertSink {
public:
    virtual ~AlertSink() = default;
    virtual void playAlertSound() = 0;
};

} // namespace quillet
