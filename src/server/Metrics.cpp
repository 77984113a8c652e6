#include "server/Metrics.h"

namespace quillet {

void Metrics::countRequest(const QByteArray &method, const QString &route, int status) {
    ++m_requests[{method, route, status}];
}

void Metrics::noteWakeLag(qint64 milliseconds) {
    ++m_wakes;
    // Clocks of two machines may disagree a little; a negative lag is no lag.
    m_wakeLagSeconds += double(std::max<qint64>(0, milliseconds)) / 1000.0;
}

QByteArray Metrics::text(const Gauges &gauges) const {
    QByteArray out;
    out += "# HELP quillet_requests_total Requests answered, by route and status.\n"
           "# TYPE quillet_requests_total counter\n";
    for (const auto &[key, count] : m_requests) {
        const auto &[method, route, status] = key;
        // Route patterns are ours ("/api/sessions/{}/inputs"): nothing to escape.
        out += "quillet_requests_total{method=\"" + method + "\",route=\"" + route.toUtf8() +
               "\",status=\"" + QByteArray::number(status) + "\"} " + QByteArray::number(count) +
               '\n';
    }
    out += "# HELP quillet_waiters Held reply requests and event streams waiting for news.\n"
           "# TYPE quillet_waiters gauge\nquillet_waiters " +
           QByteArray::number(gauges.waiters) +
           "\n# HELP quillet_event_streams Open event streams.\n"
           "# TYPE quillet_event_streams gauge\nquillet_event_streams " +
           QByteArray::number(gauges.eventStreams) +
           "\n# HELP quillet_wake_lag_seconds From another instance's change to its news here.\n"
           "# TYPE quillet_wake_lag_seconds summary\nquillet_wake_lag_seconds_sum " +
           QByteArray::number(m_wakeLagSeconds, 'f', 3) + "\nquillet_wake_lag_seconds_count " +
           QByteArray::number(m_wakes) +
           "\n# HELP quillet_store_seconds Time the store thread spent on operations.\n"
           "# TYPE quillet_store_seconds summary\nquillet_store_seconds_sum " +
           QByteArray::number(gauges.storeSeconds, 'f', 3) + "\nquillet_store_seconds_count " +
           QByteArray::number(gauges.storeOperations) + '\n';
    return out;
}

} // namespace quillet
