#include "api/APIService.h"

#include "api/APIError.h"
#include "api/KeychainService.h"
#include "api/TokenRefreshFlight.h"
#include "api/TransportError.h"
#include "common/ApiRoutes.h"
#include "common/Settings.h"

#include <QCoroSignal>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QUrl>
#include <cstdio>

namespace quillet {

namespace {

// A route with its id as exactly one path segment; an id that cannot be one is refused before
// anything is sent.
QString route(const char *pattern, const QString &id) {
    const std::optional<QString> path = ApiRoutes::path(pattern, {id});
    if (!path)
        throw APIError::invalidURL();
    return *path;
}

QString route(const char *pattern) {
    return QString::fromLatin1(pattern);
}

QString bearer(const QString &token) {
    return QStringLiteral("Bearer ") + token;
}

std::optional<QString> utf8Text(const QByteArray &bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

APIService::APIService(KeychainService &keychain, QObject *parent)
    : QObject(parent), m_keychain(keychain) {}

APIService::~APIService() = default;

APIService &APIService::shared() {
    // Lives until the process ends and is never destroyed: tearing down a QNetworkAccessManager
    // races its HTTP thread, which may quit before it has released the last connection (seen as
    // leaked connections at exit). The operating system reclaims it all at exit anyway.
    static APIService *instance = new APIService(KeychainService::shared());
    return *instance;
}

QCoro::Task<QByteArray> APIService::send(QString path, QByteArray method,
                                         std::optional<QJsonObject> body, Auth auth,
                                         std::optional<QString> token) {
    const QString base = m_baseURL.value_or(Settings::readTextOrEmpty(Settings::serverURL));
    if (base.isEmpty())
        throw APIError::noBaseURL();
    const QString joined = (base.endsWith(QLatin1Char('/')) ? base.chopped(1) : base) + path;
    const QUrl url(joined, QUrl::StrictMode);
    // Refused before the credential store is asked for a token that could not be sent anyway.
    if (!HttpTransport::isAllowed(url))
        throw APIError::invalidURL();

    QNetworkRequest request(url);
    if (auth == Auth::stored)
        token = m_keychain.load(KeychainService::accessTokenKey);
    if (auth != Auth::none && token)
        request.setRawHeader("Authorization", bearer(*token).toUtf8());
    std::optional<QByteArray> payload;
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
    }

    const HttpResult result = co_await m_transport.send(request, method, payload);
    switch (result.failure) {
    case HttpResult::Failure::none:
        break;
    case HttpResult::Failure::refused: // cannot happen: the URL was checked above
        throw APIError::invalidURL();
    case HttpResult::Failure::timedOut:
        throw TransportError(QStringLiteral("The request timed out."));
    case HttpResult::Failure::tooLarge:
        throw APIError::invalidResponse();
    case HttpResult::Failure::transport:
        throw TransportError(result.errorText);
    }
    if (result.status == 0)
        throw APIError::invalidResponse();
    if (result.status == 401)
        throw APIError::unauthorized();
    if (result.status >= 200 && result.status <= 299)
        co_return result.body;
    throw APIError::httpError(result.status, utf8Text(result.body));
}

QCoro::Task<QByteArray> APIService::performDataRequest(QString path, QByteArray method,
                                                       std::optional<QJsonObject> body,
                                                       std::optional<QJsonObject> jsonBody,
                                                       bool authenticated) {
    co_return co_await send(std::move(path), std::move(method), jsonBody ? jsonBody : body,
                            authenticated ? Auth::stored : Auth::none);
}

QCoro::Task<QJsonValue> APIService::performRequest(QString path, QByteArray method,
                                                   std::optional<QJsonObject> body,
                                                   bool authenticated) {
    const QByteArray bytes = co_await send(std::move(path), std::move(method), std::move(body),
                                           authenticated ? Auth::stored : Auth::none);
    co_return JsonDecoder::parse(bytes);
}

QCoro::Task<QByteArray> APIService::sendWithRefresh(QString path, QByteArray method,
                                                    std::optional<QJsonObject> body) {
    try {
        co_return co_await send(path, method, body, Auth::stored);
    } catch (const APIError &error) {
        if (error.kind() != APIError::Kind::unauthorized)
            throw;
    }
    co_await awaitSharedRefresh();
    co_return co_await send(path, method, body, Auth::stored);
}

QCoro::Task<> APIService::awaitSharedRefresh() {
    // Main thread only: taking or starting the flight cannot interleave with another request.
    std::shared_ptr<TokenRefreshFlight> flight = m_refresh;
    if (!flight) {
        flight = std::make_shared<TokenRefreshFlight>();
        m_refresh = flight;
        runRefresh(flight);
    }
    if (!flight->done)
        co_await qCoro(flight.get(), &TokenRefreshFlight::finished);
    if (m_refresh == flight)
        m_refresh.reset();
    if (!flight->succeeded)
        throw APIError::tokenRefreshFailed();
}

QCoro::Task<> APIService::runRefresh(std::shared_ptr<TokenRefreshFlight> flight) {
    try {
        co_await refreshTokens();
        flight->succeeded = true;
    } catch (...) {
        // Every waiter reports tokenRefreshFailed; the cause is not theirs to show.
    }
    flight->done = true;
    emit flight->finished();
}

QCoro::Task<QJsonValue> APIService::request(QString path, QByteArray method,
                                            std::optional<QJsonObject> body) {
    const QByteArray bytes =
        co_await sendWithRefresh(std::move(path), std::move(method), std::move(body));
    co_return JsonDecoder::parse(bytes);
}

QCoro::Task<> APIService::requestNoContent(QString path, QByteArray method,
                                           std::optional<QJsonObject> body) {
    co_await sendWithRefresh(std::move(path), std::move(method), std::move(body));
}

QCoro::Task<RefreshResponse> APIService::refreshTokens() {
    const std::optional<QString> refreshToken = m_keychain.load(KeychainService::refreshTokenKey);
    if (!refreshToken)
        throw APIError::tokenRefreshFailed();
    const QJsonObject body{{QStringLiteral("refresh_token"), *refreshToken}};
    const QByteArray bytes = co_await send(route(ApiRoutes::refresh), "POST", body, Auth::none);
    const RefreshResponse tokens = JsonDecoder::decode<RefreshResponse>(bytes);
    m_keychain.save(tokens.accessToken, KeychainService::accessTokenKey);
    m_keychain.save(tokens.refreshToken, KeychainService::refreshTokenKey);
    co_return tokens;
}

void APIService::saveTokens(const LoginResponse &login) {
    const bool access = m_keychain.save(login.accessToken, KeychainService::accessTokenKey);
    const bool refresh = m_keychain.save(login.refreshToken, KeychainService::refreshTokenKey);
    const bool userId = m_keychain.save(login.userId, KeychainService::userIdKey);
    if (access && refresh && userId)
        return;
    auto flag = [](bool value) { return value ? "true" : "false"; };
    std::fprintf(stdout, "⚠️ Keychain save failed — access:%s refresh:%s userId:%s\n",
                 flag(access), flag(refresh), flag(userId));
    std::fflush(stdout);
}

QCoro::Task<QJsonObject> APIService::passkeyOptions(QString path,
                                                    std::optional<QJsonObject> jsonBody) {
    const QByteArray bytes =
        co_await performDataRequest(std::move(path), "POST", std::nullopt, jsonBody, false);
    const QJsonValue options = JsonDecoder::parse(bytes);
    if (!options.isObject())
        throw APIError::invalidResponse();
    co_return options.toObject();
}

QCoro::Task<QJsonObject> APIService::passkeyRegisterOptions(QString username) {
    const QJsonObject body{{QStringLiteral("username"), username}};
    co_return co_await passkeyOptions(route(ApiRoutes::registerOptions), body);
}

QCoro::Task<QJsonObject> APIService::passkeyAuthenticateOptions() {
    co_return co_await passkeyOptions(route(ApiRoutes::authenticateOptions), std::nullopt);
}

QCoro::Task<LoginResponse> APIService::passkeyRegisterComplete(QJsonObject credential) {
    const QJsonObject body{{QStringLiteral("credential"), credential}};
    const QByteArray bytes = co_await performDataRequest(route(ApiRoutes::registerComplete), "POST",
                                                         std::nullopt, body, false);
    co_return JsonDecoder::decode<LoginResponse>(bytes);
}

QCoro::Task<LoginResponse> APIService::passkeyAuthenticateComplete(QJsonObject credential) {
    const QJsonObject body{{QStringLiteral("credential"), credential}};
    const QByteArray bytes = co_await performDataRequest(route(ApiRoutes::authenticateComplete),
                                                         "POST", std::nullopt, body, false);
    co_return JsonDecoder::decode<LoginResponse>(bytes);
}

QCoro::Task<ApiKeyCreatedResponse> APIService::createApiKey(QString label) {
    const QJsonObject body{{QStringLiteral("label"), label}};
    const QByteArray bytes = co_await sendWithRefresh(route(ApiRoutes::apiKeys), "POST", body);
    co_return JsonDecoder::decode<ApiKeyCreatedResponse>(bytes);
}

QCoro::Task<> APIService::deleteApiKey(QString id) {
    co_await requestNoContent(route(ApiRoutes::apiKey, id), "DELETE");
}

QCoro::Task<> APIService::revokeApiKey(QString id, std::optional<QString> accessToken,
                                       std::optional<QString> refreshToken) {
    const QString path = route(ApiRoutes::apiKey, id);
    try {
        co_await send(path, "DELETE", std::nullopt, Auth::given, accessToken);
        co_return;
    } catch (const APIError &error) {
        if (error.kind() != APIError::Kind::unauthorized || !refreshToken)
            throw;
    }
    const QJsonObject body{{QStringLiteral("refresh_token"), *refreshToken}};
    RefreshResponse tokens;
    try {
        const QByteArray bytes = co_await send(route(ApiRoutes::refresh), "POST", body, Auth::none);
        tokens = JsonDecoder::decode<RefreshResponse>(bytes);
    } catch (...) {
        throw APIError::tokenRefreshFailed();
    }
    co_await send(path, "DELETE", std::nullopt, Auth::given, tokens.accessToken);
}

QCoro::Task<PairInitiateResponse> APIService::initiatePairing() {
    const QJsonValue answer = co_await request(route(ApiRoutes::pairInitiate), "POST");
    co_return PairInitiateResponse::decode(answer);
}

QCoro::Task<QList<PairedDeviceResponse>> APIService::pairedDevices() {
    const QJsonValue answer = co_await request(route(ApiRoutes::pairedDevices), "GET");
    QList<PairedDeviceResponse> devices;
    for (const QJsonValue &item : JsonDecoder::array(answer))
        devices.append(PairedDeviceResponse::decode(item));
    co_return devices;
}

QCoro::Task<> APIService::deletePairedDevice(QString id) {
    co_await requestNoContent(route(ApiRoutes::pairedDevice, id), "DELETE");
}

} // namespace quillet
