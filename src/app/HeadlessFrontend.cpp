#include "app/HeadlessFrontend.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcHeadless, "lorvo.fennick.quillet-mac.AppDelegate")

namespace quillet {

namespace {

void noWindow(const char *window) {
    qCWarning(lcHeadless, "The headless agent has no %s window", window);
}

} // namespace

void HeadlessFrontend::showTmuxNotFound() {
    qCCritical(lcHeadless, "%s: %s", qUtf8Printable(tmuxNotFoundTitle),
               qUtf8Printable(tmuxNotFoundText));
}

void HeadlessFrontend::attachTerminal(const QString &session) {
    qCDebug(lcHeadless, "No screen to attach session %s to; run: tmux attach -t %s",
            qUtf8Printable(session), qUtf8Printable(session));
}

void HeadlessFrontend::openMainWindow() {
    noWindow("projects");
}
void HeadlessFrontend::openSettings() {
    noWindow("settings");
}
void HeadlessFrontend::openSignIn() {
    noWindow("sign-in");
}
void HeadlessFrontend::openPairDevice() {
    noWindow("pair-device");
}

} // namespace quillet
