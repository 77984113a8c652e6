#pragma once

#include <QByteArray>
#include <QString>

namespace quillet {

// The few CBOR items an attestation object and a COSE key need (RFC 8949): integers, byte and
// text strings, and map headers. The caller writes map entries in canonical order itself.
class CborWriter {
public:
    CborWriter &integer(qint64 value);
    CborWriter &bytes(const QByteArray &value);
    CborWriter &text(const QString &value);
    CborWriter &mapHeader(quint64 entries);

    const QByteArray &data() const { return m_data; }

private:
    void head(quint8 majorType, quint64 argument);

    QByteArray m_data;
};

} // namespace quillet
