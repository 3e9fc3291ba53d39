#pragma once

#include <QByteArray>
#include <QList>

// Builds message bodies byte by byte, independently of the client's own stream classes, so a
// fault in the client's encoding cannot hide on both sides of a test. Integers are written
// little-endian; a string is its u32 byte length and its bytes.
class WireWriter
{
public:
    WireWriter() = default;

    WireWriter& WriteU8(quint8 i_value);
    WireWriter& WriteU16(quint16 i_value);
    WireWriter& WriteU32(quint32 i_value);
    WireWriter& WriteI32(qint32 i_value);
    WireWriter& WriteU64(quint64 i_value);
    // A flag written as one byte, 1 or 0.
    WireWriter& WriteBool(bool i_value);
    WireWriter& WriteString(const QByteArray& i_value);
    // A u32 count, then each string.
    WireWriter& WriteStringList(const QList<QByteArray>& i_values);
    // A u32 count, then each value as 4 bytes.
    WireWriter& WriteI32List(const QList<qint32>& i_values);
    // The 20-byte user statistics record: u32 speed, 64-bit value, u32 files, u32 value.
    WireWriter& WriteUserStats(quint32 i_speed, quint64 i_second, quint32 i_files,
                               quint32 i_fourth);
    WireWriter& WriteRaw(const QByteArray& i_bytes);

    const QByteArray& Bytes() const { return m_bytes; }
    int Size() const { return int(m_bytes.size()); }

    // The bytes written so far behind their u32 length: one frame.
    QByteArray Frame() const;
    // A frame whose body is the u32 code followed by the given fields.
    static QByteArray Frame(quint32 i_code, const QByteArray& i_fields);
    // Any bytes behind their u32 length.
    static QByteArray LengthPrefixed(const QByteArray& i_bytes);

private:
    QByteArray m_bytes;
};
