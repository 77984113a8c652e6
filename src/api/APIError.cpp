#include "api/APIError.h"

namespace quillet {

APIError::APIError(Kind kind, int statusCode, std::optional<QString> body)
    : std::runtime_error(describe(kind, statusCode, body).toStdString()), m_kind(kind),
      m_statusCode(statusCode), m_body(std::move(body)) {}

APIError APIError::httpError(int statusCode, std::optional<QString> body) {
    return APIError(Kind::httpError, statusCode, std::move(body));
}

QString APIError::describe(Kind kind, int statusCode, const std::optional<QString> &body) {
    switch (kind) {
    case Kind::httpError:
        return body ? QStringLiteral("HTTP error %1: %2").arg(statusCode).arg(*body)
                    : QStringLiteral("HTTP error %1").arg(statusCode);
    case Kind::noBaseURL:
        return QStringLiteral("Server URL is not configured.");
    case Kind::invalidURL:
        return QStringLiteral("The URL is invalid.");
    case Kind::invalidResponse:
        return QStringLiteral("Received an invalid response from the server.");
    case Kind::unauthorized:
        return QStringLiteral("Authentication failed. Please sign in again.");
    case Kind::tokenRefreshFailed:
        return QStringLiteral("Session expired. Please sign in again.");
    }
    return {};
}

} // namespace quillet
