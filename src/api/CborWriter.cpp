#include "api/CborWriter.h"

namespace quillet {

void CborWriter::head(quint8 majorType, quint64 argument) {
    const char type = static_cast<char>(majorType << 5);
    auto bigEndian = [this](quint64 value, int bytes) {
        for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
            m_data.append(static_cast<char>((value >> shift) & 0xff));
    };
    if (argument < 24) {
        m_data.append(static_cast<char>(type | static_cast<char>(argument)));
    } else if (argument <= 0xff) {
        m_data.append(static_cast<char>(type | 24));
        bigEndian(argument, 1);
    } else if (argument <= 0xffff) {
        m_data.append(static_cast<char>(type | 25));
        bigEndian(argument, 2);
    } else if (argument <= 0xffffffffULL) {
        m_data.append(static_cast<char>(type | 26));
        bigEndian(argument, 4);
    } else {
        m_data.append(static_cast<char>(type | 27));
        bigEndian(argument, 8);
    }
}

CborWriter &CborWriter::integer(qint64 value) {
    if (value >= 0)
        head(0, static_cast<quint64>(value));
    else
        head(1, static_cast<quint64>(-(value + 1)));
    return *this;
}

CborWriter &CborWriter::bytes(const QByteArray &value) {
    head(2, static_cast<quint64>(value.size()));
    m_data.append(value);
    return *this;
}

CborWriter &CborWriter::text(const QString &value) {
    const QByteArray utf8 = value.toUtf8();
    head(3, static_cast<quint64>(utf8.size()));
    m_data.append(utf8);
    return *this;
}

CborWriter &CborWriter::mapHeader(quint64 entries) {
    head(5, entries);
    return *this;
}

} // namespace quillet
