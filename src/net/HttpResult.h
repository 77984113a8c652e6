#pragma once

#include <QByteArray>
#include <QString>

namespace quillet {

// What one HTTP exchange gave: an answer with its status and whole body, or why there is none.
struct HttpResult {
    enum class Failure {
        none,
        // Not sent: the URL is not http or https with a host.
        refused,
        // The transfer stalled for longer than the time-out.
        timedOut,
        // The body passed the cap; reading stopped there and what was read is gone.
        tooLarge,
        // The HTTP layer failed (refused, dropped, TLS); `errorText` says how.
        transport,
    };

    Failure failure = Failure::none;
    QString errorText;
    // 0 when the answer was not HTTP.
    int status = 0;
    QByteArray body;
};

} // namespace quillet
