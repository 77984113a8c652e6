#pragma once

#include <QString>
#include <optional>
#include <stdexcept>

namespace quillet {

// The failures of the user-side client that have a text of their own for the user. Transport,
// decoding and authenticator failures are other exception types; all derive from
// std::runtime_error, whose what() is the UTF-8 text shown to the user.
class APIError : public std::runtime_error {
public:
    enum class Kind {
        httpError,
        noBaseURL,
        invalidURL,
        invalidResponse,
        unauthorized,
        tokenRefreshFailed
    };

    static APIError httpError(int statusCode, std::optional<QString> body);
    static APIError noBaseURL() { return APIError(Kind::noBaseURL); }
    static APIError invalidURL() { return APIError(Kind::invalidURL); }
    static APIError invalidResponse() { return APIError(Kind::invalidResponse); }
    static APIError unauthorized() { return APIError(Kind::unauthorized); }
    static APIError tokenRefreshFailed() { return APIError(Kind::tokenRefreshFailed); }

    Kind kind() const { return m_kind; }
    // Only meaningful for httpError.
    int statusCode() const { return m_statusCode; }
    const std::optional<QString> &body() const { return m_body; }

    QString description() const { return QString::fromUtf8(what()); }
    static QString describe(Kind kind, int statusCode = 0, const std::optional<QString> &body = {});

private:
    explicit APIError(Kind kind, int statusCode = 0, std::optional<QString> body = {});

    Kind m_kind;
    int m_statusCode = 0;
    std::optional<QString> m_body;
};

} // namespace quillet
