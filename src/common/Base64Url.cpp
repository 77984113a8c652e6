#include "common/Base64Url.h"

namespace quillet {

QString Base64Url::encode(const QByteArray &bytes) {
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

std::optional<QByteArray> Base64Url::decode(const QString &text) {
    QByteArray standard = text.toUtf8();
    for (char &c : standard) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
    }
    while (standard.size() % 4 != 0)
        standard.append('=');
    auto result = QByteArray::fromBase64Encoding(standard, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return *result;
}

} // namespace quillet
