#include "api/AuthViewModel.h"

#include "api/APIError.h"
#include "api/APIService.h"
#include "api/AuthenticatorError.h"
#include "api/KeychainService.h"
#include "common/Base64Url.h"
#include "common/Settings.h"

#include <QJsonObject>
#include <QPointer>
#include <QSysInfo>
#include <cstdio>

namespace quillet {

namespace {

// Reads "challenge"-like members of the server's options; anything unexpected is the server's
// fault and reported as an invalid response.
QJsonObject objectMember(const QJsonObject &object, const QString &key) {
    const QJsonValue value = object.value(key);
    if (!value.isObject())
        throw APIError::invalidResponse();
    return value.toObject();
}

QString stringMember(const QJsonObject &object, const QString &key) {
    const QJsonValue value = object.value(key);
    if (!value.isString())
        throw APIError::invalidResponse();
    return value.toString();
}

QByteArray bytesMember(const QJsonObject &object, const QString &key) {
    const std::optional<QByteArray> bytes = Base64Url::decode(stringMember(object, key));
    if (!bytes)
        throw APIError::invalidResponse();
    return *bytes;
}

QString describe(const std::exception &error) {
    return QString::fromUtf8(error.what());
}

// Points the API client at the server a flow tries, for as long as the flow runs: a flow that
// ends early (its model destroyed) leaves no override behind.
struct TriedServer {
    TriedServer(APIService &api, const QString &url) : api(api) { api.setBaseURL(url); }
    ~TriedServer() { api.setBaseURL(std::nullopt); }
    TriedServer(const TriedServer &) = delete;
    TriedServer &operator=(const TriedServer &) = delete;
    APIService &api;
};

} // namespace

AuthViewModel::AuthViewModel(APIService &api, QObject *parent)
    : QObject(parent), m_api(api), m_keychain(api.keychain()), m_authenticator(api.keychain()) {}

QString AuthViewModel::apiKeyLabel(const QString &hostName) {
    return QStringLiteral("QuilletMac-") + (hostName.isEmpty() ? QStringLiteral("Mac") : hostName);
}

QString AuthViewModel::friendlyMessage(const QString &description) {
    if (description.contains(QLatin1String("is not associated with domain")))
        return QStringLiteral("Passkey setup requires Developer Mode. Enable it in System Settings "
                              "→ Privacy & Security → Developer Mode, then restart this app.");
    if (description.contains(QLatin1String("No credentials available")))
        return QStringLiteral("No passkey found for this server. Create an account first.");
    if (description.contains(QLatin1String("No presentation anchor")))
        return QStringLiteral(
            "Could not display passkey dialog. Try closing and reopening this window.");
    return description;
}

QCoro::Task<> AuthViewModel::registerAccount(QString serverURL, QString username) {
    QPointer<AuthViewModel> self(this);
    setErrorMessage(std::nullopt);
    setLoading(true);
    const QString server = serverURL.trimmed();
    const TriedServer tried(m_api, server);

    std::optional<QString> failure;
    try {
        const QJsonObject options = co_await m_api.passkeyRegisterOptions(username);
        if (!self)
            co_return;
        const QByteArray challenge = bytesMember(options, QStringLiteral("challenge"));
        const QByteArray userHandle =
            bytesMember(objectMember(options, QStringLiteral("user")), QStringLiteral("id"));
        const QString rpId =
            stringMember(objectMember(options, QStringLiteral("rp")), QStringLiteral("id"));

        const RegistrationCredential credential =
            m_authenticator.makeCredential(rpId, challenge, username, userHandle);
        if (credential.attestationObject.isEmpty())
            throw AuthenticatorError(QStringLiteral("The passkey came without attestation."));
        const LoginResponse login = co_await m_api.passkeyRegisterComplete(credential.toJson());
        if (!self)
            co_return;
        m_api.saveTokens(login);
        setUsername(username);
    } catch (const std::exception &error) {
        failure = friendlyMessage(describe(error));
    }
    if (self)
        co_await finishSignIn(failure, server);
}

QCoro::Task<> AuthViewModel::signIn(QString serverURL) {
    QPointer<AuthViewModel> self(this);
    setErrorMessage(std::nullopt);
    setLoading(true);
    const QString server = serverURL.trimmed();
    const TriedServer tried(m_api, server);

    std::optional<QString> failure;
    try {
        const QJsonObject options = co_await m_api.passkeyAuthenticateOptions();
        if (!self)
            co_return;
        const QByteArray challenge = bytesMember(options, QStringLiteral("challenge"));
        const QString rpId = stringMember(options, QStringLiteral("rpId"));

        const AssertionCredential credential = m_authenticator.getAssertion(rpId, challenge);
        if (credential.authenticatorData.isEmpty() || credential.signature.isEmpty())
            throw AuthenticatorError(QStringLiteral("The passkey gave an incomplete answer."));
        const LoginResponse login = co_await m_api.passkeyAuthenticateComplete(credential.toJson());
        if (!self)
            co_return;
        m_api.saveTokens(login);
    } catch (const std::exception &error) {
        failure = friendlyMessage(describe(error));
    }
    if (self)
        co_await finishSignIn(failure, server);
}

QCoro::Task<> AuthViewModel::finishSignIn(std::optional<QString> failure, QString serverURL) {
    QPointer<AuthViewModel> self(this);
    // Stored only once it worked: until then the settings, which other Quillet processes read,
    // keep the server that works.
    const bool moved = serverURL != Settings::readTextOrEmpty(Settings::serverURL);
    if (!failure && !Settings::write(Settings::serverURL, serverURL))
        failure = QStringLiteral("Signed in, but the server could not be stored: %1")
                      .arg(Settings::writeError());
    // Another address is a server of the user's choosing, not the relay this computer runs.
    if (!failure && moved)
        Settings::remove(Settings::localServer);
    if (failure) {
        setErrorMessage(failure);
        setLoading(false);
        co_return;
    }
    co_await autoCreateApiKey();
    if (!self)
        co_return;
    setAuthenticated(true);
    setLoading(false);
}

QCoro::Task<> AuthViewModel::autoCreateApiKey() {
    QPointer<AuthViewModel> self(this);
    const QString label = apiKeyLabel(m_hostName.value_or(QSysInfo::machineHostName()));
    ApiKeyCreatedResponse created;
    try {
        created = co_await m_api.createApiKey(label);
    } catch (const std::exception &error) {
        std::fprintf(stdout, "Failed to auto-create API key: %s\n", error.what());
        std::fflush(stdout);
        co_return;
    }
    const std::optional<QString> previousKey = Settings::readText(Settings::agentApiKey);
    if (Settings::write(Settings::agentApiKey, created.key) &&
        Settings::write(Settings::agentApiKeyId, created.id))
        co_return;
    // A key nobody holds is only a risk: it is revoked at once, and the old key put back.
    QString message = QStringLiteral("The agent key for this computer could not be stored (%1)")
                          .arg(Settings::writeError());
    if (previousKey)
        Settings::write(Settings::agentApiKey, *previousKey);
    else
        Settings::remove(Settings::agentApiKey);
    try {
        co_await m_api.deleteApiKey(created.id);
        message += QStringLiteral("; it was revoked on the server.");
    } catch (const std::exception &error) {
        message += QStringLiteral("; revoking it failed too (%1): the key %2 is still valid on "
                                  "the server.")
                       .arg(describe(error), created.id);
    }
    if (self)
        setErrorMessage(message);
}

QCoro::Task<> AuthViewModel::checkExistingSession() {
    QPointer<AuthViewModel> self(this);
    if (!m_keychain.load(KeychainService::refreshTokenKey) ||
        Settings::readTextOrEmpty(Settings::serverURL).isEmpty())
        co_return;
    bool refreshed = false;
    try {
        co_await m_api.refreshTokens();
        refreshed = true;
    } catch (const std::exception &) {
        // The user simply stays signed out; the stored tokens are kept.
    }
    if (refreshed && self)
        setAuthenticated(true);
}

std::optional<AuthViewModel::Revocation> AuthViewModel::forgetAccount() {
    // The tokens are read before they are removed: the revocation must still be able to prove
    // who asks for it, or the agent key would stay valid on the server.
    std::optional<Revocation> revocation;
    const QString keyId = Settings::readTextOrEmpty(Settings::agentApiKeyId);
    if (!keyId.isEmpty())
        revocation = Revocation{keyId, m_keychain.load(KeychainService::accessTokenKey),
                                m_keychain.load(KeychainService::refreshTokenKey)};
    Settings::remove(Settings::agentApiKey);
    Settings::remove(Settings::agentApiKeyId);
    m_keychain.remove(KeychainService::accessTokenKey);
    m_keychain.remove(KeychainService::refreshTokenKey);
    m_keychain.remove(KeychainService::userIdKey);
    setAuthenticated(false);
    setUsername(std::nullopt);
    setErrorMessage(std::nullopt);
    return revocation;
}

QCoro::Task<> AuthViewModel::revokeQuietly(APIService *api, QPointer<AuthViewModel> model,
                                           Revocation revocation) {
    bool revoked = false;
    try {
        co_await api->revokeApiKey(revocation.keyId, revocation.accessToken,
                                   revocation.refreshToken);
        revoked = true;
    } catch (const std::exception &) {
        // The local sign-out stands either way.
    }
    if (model)
        emit model->apiKeyRevocationFinished(revoked);
}

void AuthViewModel::signOut() {
    if (std::optional<Revocation> revocation = forgetAccount())
        revokeQuietly(&m_api, this, std::move(*revocation));
}

QCoro::Task<std::optional<QString>> AuthViewModel::signOutAndWait() {
    std::optional<Revocation> revocation = forgetAccount();
    if (!revocation)
        co_return std::nullopt;
    std::optional<QString> failure;
    try {
        co_await m_api.revokeApiKey(revocation->keyId, revocation->accessToken,
                                    revocation->refreshToken);
    } catch (const std::exception &error) {
        failure = describe(error);
    }
    co_return failure;
}

void AuthViewModel::setAuthenticated(bool value) {
    const bool changed = m_isAuthenticated != value;
    m_isAuthenticated = value;
    if (changed)
        emit isAuthenticatedChanged(value);
    if (value && onAuthenticated)
        onAuthenticated();
}

void AuthViewModel::setLoading(bool value) {
    if (m_isLoading == value)
        return;
    m_isLoading = value;
    emit isLoadingChanged(value);
}

void AuthViewModel::setErrorMessage(std::optional<QString> value) {
    if (m_errorMessage == value)
        return;
    m_errorMessage = std::move(value);
    emit errorMessageChanged();
}

void AuthViewModel::setUsername(std::optional<QString> value) {
    if (m_username == value)
        return;
    m_username = std::move(value);
    emit usernameChanged();
}

} // namespace quillet
