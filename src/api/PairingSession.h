#pragma once

#include "api/PairedDeviceResponse.h"

#include <QCoroTask>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>

namespace quillet {

class APIService;

// Pairing a phone, without a screen: asks the server for a short-lived code, counts its
// lifetime down once a second, asks for a new code when it runs out, and polls the paired
// devices every two seconds until their number grows. The pairing window and `quillet pair`
// both show this state.
class PairingSession : public QObject {
    Q_OBJECT
public:
    explicit PairingSession(APIService &api, QObject *parent = nullptr);
    ~PairingSession() override;

    // Intervals of the countdown and of the device poll; shortened by tests.
    void setTickInterval(std::chrono::milliseconds interval);
    void setPollInterval(std::chrono::milliseconds interval);

    // Gets a code, then watches the devices. Stop cancels both; late answers are dropped.
    void start();
    void stop();
    // Asks for a new code now (the window's "Retry").
    void retry();

    bool isRunning() const { return m_running; }
    bool isLoading() const { return m_isLoading; }
    std::optional<QString> code() const { return m_code; }
    std::optional<qint64> expiresIn() const { return m_expiresIn; }
    std::optional<qint64> remainingSeconds() const { return m_remainingSeconds; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    std::optional<int> initialDeviceCount() const { return m_initialDeviceCount; }
    // The "serverURL" setting, or the service's default when it is unset.
    static QString serverURL();

    // "ABC123" shows as "ABC 123"; a code of any other length is shown unchanged.
    static QString displayCode(const QString &code);
    // {"s":"<server URL>","c":"<code>"}, both values as JSON strings.
    static QByteArray qrPayload(const QString &serverURL, const QString &code);
    // "Expires in 4:59".
    static QString expiryText(qint64 remainingSeconds);

signals:
    // Any of the fields above changed.
    void changed();
    // A new code arrived.
    void codeChanged(const QString &code);
    void remainingSecondsChanged(qint64 seconds);
    // The number of paired devices grew; `newDevices` are those not paired at the start.
    void paired(const QList<quillet::PairedDeviceResponse> &newDevices);

private:
    QCoro::Task<> run();
    QCoro::Task<> generateCode();
    QCoro::Task<> pollDevices();
    void tick();

    APIService &m_api;
    QTimer m_countdown;
    QTimer m_poll;
    bool m_running = false;
    bool m_polling = false;
    // Bumped by stop(): answers of an earlier run are dropped.
    quint64 m_generation = 0;

    bool m_isLoading = false;
    std::optional<QString> m_code;
    std::optional<qint64> m_expiresIn;
    std::optional<qint64> m_remainingSeconds;
    std::optional<QString> m_errorMessage;
    std::optional<int> m_initialDeviceCount;
    QSet<QString> m_initialDeviceIds;
};

} // namespace quillet
