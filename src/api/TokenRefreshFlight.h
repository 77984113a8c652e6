#pragma once

#include <QObject>

namespace quillet {

// One token refresh in flight, shared by every request that met 401 while it runs: they all
// wait for `finished` and read the outcome from here.
class TokenRefreshFlight : public QObject {
    Q_OBJECT
public:
    bool done = false;
    bool succeeded = false;

signals:
    void finished();
};

} // namespace quillet
