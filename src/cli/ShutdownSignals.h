#pragma once

#include <QObject>

class QSocketNotifier;

namespace quillet::cli {

// Turns SIGINT and SIGTERM into a Qt signal on the main thread: the handler only writes to a
// socket pair, which the event loop watches.
class ShutdownSignals : public QObject {
    Q_OBJECT
public:
    explicit ShutdownSignals(QObject *parent = nullptr);
    ~ShutdownSignals() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace quillet::cli
