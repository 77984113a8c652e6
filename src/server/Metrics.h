#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <tuple>

namespace quillet {

// What this instance tells Prometheus at /metrics (the text format, version 0.0.4): requests by
// route and status, waiters, event streams, how late other instances' news arrives, and the
// store's time. Network thread only.
class Metrics {
public:
    void countRequest(const QByteArray &method, const QString &route, int status);
    void noteWakeLag(qint64 milliseconds);

    struct Gauges {
        int waiters = 0;
        int eventStreams = 0;
        quint64 storeOperations = 0;
        double storeSeconds = 0;
    };
    QByteArray text(const Gauges &gauges) const;

private:
    std::map<std::tuple<QByteArray, QString, int>, quint64> m_requests;
    quint64 m_wakes = 0;
    double m_wakeLagSeconds = 0;
};

} // namespace quillet
