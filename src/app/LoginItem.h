#pragma once

namespace quillet {

// Starting Quillet when the user logs in. The settings only ask for it; how is the platform's.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // Returns false when the platform refused; callers keep the user's choice regardless.
    virtual bool setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;

    // The form for this platform.
    static LoginItem &platform();
};

} // namespace quillet
