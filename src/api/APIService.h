#pragma once

#include "api/ApiKeyCreatedResponse.h"
#include "api/LoginResponse.h"
#include "api/PairInitiateResponse.h"
#include "api/PairedDeviceResponse.h"
#include "api/RefreshResponse.h"
#include "net/HttpTransport.h"

#include <QByteArray>
#include <QCoroTask>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>

namespace quillet {

class KeychainService;
class TokenRefreshFlight;

// The user-side HTTP client of the server. Requests go to the "serverURL" setting (or the base
// URL a sign-in is trying) plus a path,
// carry the stored access token, and on 401 share one token refresh and retry once. Failures
// are thrown: APIError, TransportError, DecodingError (their what() is the user's text).
class APIService : public QObject {
    Q_OBJECT
public:
    explicit APIService(KeychainService &keychain, QObject *parent = nullptr);
    ~APIService() override;

    // The process-wide instance on KeychainService::shared(), created on first use.
    static APIService &shared();

    KeychainService &keychain() { return m_keychain; }

    // Requests go to `url` instead of the "serverURL" setting until this is reset with nothing:
    // a sign-in tries a server before storing it, so no other process sees a server that may not
    // work (nor keeps it after a crash).
    void setBaseURL(std::optional<QString> url) { m_baseURL = std::move(url); }

    // Per-request time-out (60 s unless a test shortens it).
    void setTimeout(std::chrono::milliseconds timeout) { m_transport.setTimeout(timeout); }

    // Authenticated, with one shared refresh and one retry; the 2xx body parsed as JSON.
    QCoro::Task<QJsonValue> request(QString path, QByteArray method,
                                    std::optional<QJsonObject> body = std::nullopt);
    // The same, for answers whose body does not matter (any 2xx is success).
    QCoro::Task<> requestNoContent(QString path, QByteArray method,
                                   std::optional<QJsonObject> body = std::nullopt);
    // One attempt, no refresh; the 2xx body parsed as JSON.
    QCoro::Task<QJsonValue> performRequest(QString path, QByteArray method,
                                           std::optional<QJsonObject> body, bool authenticated);
    // One attempt answering the raw 2xx body. `jsonBody`, when given, is sent instead of `body`.
    QCoro::Task<QByteArray> performDataRequest(QString path, QByteArray method,
                                               std::optional<QJsonObject> body,
                                               std::optional<QJsonObject> jsonBody,
                                               bool authenticated);

    // Trades the stored refresh token for new tokens and stores them.
    QCoro::Task<RefreshResponse> refreshTokens();
    // Stores the three values of a sign-in; a failed save prints one summary line.
    void saveTokens(const LoginResponse &login);

    QCoro::Task<QJsonObject> passkeyRegisterOptions(QString username);
    QCoro::Task<LoginResponse> passkeyRegisterComplete(QJsonObject credential);
    QCoro::Task<QJsonObject> passkeyAuthenticateOptions();
    QCoro::Task<LoginResponse> passkeyAuthenticateComplete(QJsonObject credential);

    QCoro::Task<ApiKeyCreatedResponse> createApiKey(QString label);
    QCoro::Task<> deleteApiKey(QString id);
    // Deletes an agent key with tokens the caller read earlier (sign-out removes the stored ones
    // at once). On 401 the given refresh token buys one new access token, which is not stored.
    QCoro::Task<> revokeApiKey(QString id, std::optional<QString> accessToken,
                               std::optional<QString> refreshToken);

    QCoro::Task<PairInitiateResponse> initiatePairing();
    QCoro::Task<QList<PairedDeviceResponse>> pairedDevices();
    QCoro::Task<> deletePairedDevice(QString id);

private:
    enum class Auth { none, stored, given };

    QCoro::Task<QByteArray> send(QString path, QByteArray method, std::optional<QJsonObject> body,
                                 Auth auth, std::optional<QString> token = std::nullopt);
    QCoro::Task<QByteArray> sendWithRefresh(QString path, QByteArray method,
                                            std::optional<QJsonObject> body);
    QCoro::Task<> awaitSharedRefresh();
    QCoro::Task<> runRefresh(std::shared_ptr<TokenRefreshFlight> flight);
    QCoro::Task<QJsonObject> passkeyOptions(QString path, std::optional<QJsonObject> jsonBody);

    KeychainService &m_keychain;
    HttpTransport m_transport;
    std::optional<QString> m_baseURL;
    std::shared_ptr<TokenRefreshFlight> m_refresh;
};

} // namespace quillet
