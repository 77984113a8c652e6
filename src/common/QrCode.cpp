#include "common/QrCode.h"

#include <qrencode.h>

namespace quillet {

std::optional<QrCode> QrCode::encode(const QByteArray &payload) {
    QRcode *symbol = QRcode_encodeData(static_cast<int>(payload.size()),
                                       reinterpret_cast<const unsigned char *>(payload.constData()),
                                       0, QR_ECLEVEL_M);
    if (!symbol)
        return std::nullopt;
    QrCode code;
    code.m_size = symbol->width;
    code.m_modules.reserve(static_cast<qsizetype>(symbol->width) * symbol->width);
    for (int i = 0; i < symbol->width * symbol->width; ++i)
        code.m_modules.append((symbol->data[i] & 1) != 0);
    QRcode_free(symbol);
    return code;
}

} // namespace quillet
