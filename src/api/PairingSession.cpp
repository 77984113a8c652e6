#include "api/PairingSession.h"

#include "api/APIService.h"
#include "api/JsonDecoder.h"
#include "common/Settings.h"

#include <QPointer>

namespace quillet {

using namespace std::chrono_literals;

PairingSession::PairingSession(APIService &api, QObject *parent) : QObject(parent), m_api(api) {
    m_countdown.setInterval(1s);
    m_poll.setInterval(2s);
    connect(&m_countdown, &QTimer::timeout, this, &PairingSession::tick);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        if (!m_polling)
            pollDevices();
    });
}

PairingSession::~PairingSession() = default;

void PairingSession::setTickInterval(std::chrono::milliseconds interval) {
    m_countdown.setInterval(interval);
}

void PairingSession::setPollInterval(std::chrono::milliseconds interval) {
    m_poll.setInterval(interval);
}

QString PairingSession::serverURL() {
    const QString stored = Settings::readTextOrEmpty(Settings::serverURL);
    return stored.isEmpty() ? Settings::defaultServerURL : stored;
}

QString PairingSession::displayCode(const QString &code) {
    if (code.size() != 6)
        return code;
    return code.left(3) + QLatin1Char(' ') + code.right(3);
}

QByteArray PairingSession::qrPayload(const QString &serverURL, const QString &code) {
    // Escaped, so that a quote or backslash in either value cannot break the object.
    return QByteArrayLiteral("{\"s\":") + JsonDecoder::quoted(serverURL) +
           QByteArrayLiteral(",\"c\":") + JsonDecoder::quoted(code) + QByteArrayLiteral("}");
}

QString PairingSession::expiryText(qint64 remainingSeconds) {
    return QStringLiteral("Expires in %1:%2")
        .arg(remainingSeconds / 60)
        .arg(remainingSeconds % 60, 2, 10, QLatin1Char('0'));
}

void PairingSession::start() {
    if (m_running)
        return;
    m_running = true;
    ++m_generation;
    run();
}

void PairingSession::stop() {
    m_running = false;
    ++m_generation;
    m_countdown.stop();
    m_poll.stop();
    m_polling = false;
    m_isLoading = false;
}

void PairingSession::retry() {
    if (m_running)
        generateCode();
}

QCoro::Task<> PairingSession::run() {
    QPointer<PairingSession> self(this);
    const quint64 generation = m_generation;
    // The devices paired before any code is shown: counted after, a phone that paired in between
    // would be one of them and never be noticed. A failed fetch counts none. The window shows
    // this as loading: there is nothing else to show yet.
    m_polling = true;
    m_isLoading = true;
    emit changed();
    QList<PairedDeviceResponse> devices;
    try {
        devices = co_await m_api.pairedDevices();
    } catch (const std::exception &) {
        devices.clear();
    }
    if (!self || generation != m_generation)
        co_return;
    m_polling = false;
    m_isLoading = false;
    m_initialDeviceCount = static_cast<int>(devices.size());
    m_initialDeviceIds.clear();
    for (const PairedDeviceResponse &device : devices)
        m_initialDeviceIds.insert(device.id);

    co_await generateCode();
    if (!self || generation != m_generation)
        co_return;
    m_poll.start();
}

QCoro::Task<> PairingSession::generateCode() {
    // One request at a time: the countdown and "Retry" would otherwise fetch two codes.
    if (m_isLoading)
        co_return;
    QPointer<PairingSession> self(this);
    const quint64 generation = m_generation;
    m_isLoading = true;
    m_errorMessage.reset();
    m_countdown.stop();
    emit changed();

    std::optional<PairInitiateResponse> answer;
    std::optional<QString> failure;
    try {
        answer = co_await m_api.initiatePairing();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self || generation != m_generation)
        co_return;
    m_isLoading = false;
    if (answer) {
        m_code = answer->code;
        m_expiresIn = answer->expiresIn;
        m_remainingSeconds = answer->expiresIn;
        m_countdown.start();
        emit codeChanged(answer->code);
        emit remainingSecondsChanged(answer->expiresIn);
    } else {
        m_errorMessage = failure;
    }
    emit changed();
}

void PairingSession::tick() {
    if (!m_remainingSeconds || *m_remainingSeconds < 2) {
        m_countdown.stop();
        generateCode();
        return;
    }
    --*m_remainingSeconds;
    emit remainingSecondsChanged(*m_remainingSeconds);
    emit changed();
}

QCoro::Task<> PairingSession::pollDevices() {
    QPointer<PairingSession> self(this);
    const quint64 generation = m_generation;
    m_polling = true;
    std::optional<QList<PairedDeviceResponse>> devices;
    try {
        devices = co_await m_api.pairedDevices();
    } catch (const std::exception &) {
        // Polling goes on; the next tick asks again.
    }
    if (!self || generation != m_generation)
        co_return;
    m_polling = false;
    if (!devices || devices->size() <= m_initialDeviceCount.value_or(0))
        co_return;
    QList<PairedDeviceResponse> newDevices;
    for (const PairedDeviceResponse &device : *devices) {
        if (!m_initialDeviceIds.contains(device.id))
            newDevices.append(device);
    }
    stop();
    emit changed();
    emit paired(newDevices);
}

} // namespace quillet
