#pragma once

#include <QObject>

namespace quillet {

// A unique_ptr deleter that hands the object to the event loop. A QNetworkReply must not be
// deleted while it is still emitting finished(), and a coroutine awaiting the reply resumes inside
// that very emission: deleting it there at once is a use-after-free in the abort and time-out
// paths.
struct DeleteLater {
    void operator()(QObject *object) const {
        if (object)
            object->deleteLater();
    }
};

} // namespace quillet
