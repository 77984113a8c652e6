#pragma once

#include <QByteArray>
#include <QList>
#include <optional>

namespace quillet {

// A QR symbol as a square of modules, without its quiet zone. The command line draws it with
// half blocks; the window scales it to an image.
class QrCode {
public:
    // Byte mode, error correction level M, the smallest version that holds `payload`. Nothing
    // when it cannot be encoded (too long).
    static std::optional<QrCode> encode(const QByteArray &payload);

    int size() const { return m_size; }
    bool isDark(int x, int y) const {
        return x >= 0 && y >= 0 && x < m_size && y < m_size && m_modules.at(y * m_size + x);
    }

private:
    int m_size = 0;
    QList<bool> m_modules;
};

} // namespace quillet
