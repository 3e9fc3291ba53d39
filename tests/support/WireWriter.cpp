#include "WireWriter.h"

namespace
{
template <typename T> void AppendLittleEndian(QByteArray& io_bytes, T i_value)
{
    for (unsigned l_i = 0; l_i < sizeof(T); ++l_i)
    {
        io_bytes.append(char(quint8(i_value >> (8 * l_i))));
    }
}
} // namespace

WireWriter& WireWriter::WriteU8(quint8 i_value)
{
    m_bytes.append(char(i_value));
    return *this;
}

WireWriter& WireWriter::WriteU16(quint16 i_value)
{
    AppendLittleEndian(m_bytes, i_value);
    return *this;
}

WireWriter& WireWriter::WriteU32(quint32 i_value)
{
    AppendLittleEndian(m_bytes, i_value);
    return *this;
}

WireWriter& WireWriter::WriteI32(qint32 i_value)
{
    AppendLittleEndian(m_bytes, quint32(i_value));
    return *this;
}

WireWriter& WireWriter::WriteU64(quint64 i_value)
{
    AppendLittleEndian(m_bytes, i_value);
    return *this;
}

WireWriter& WireWriter::WriteBool(bool i_value)
{
    return WriteU8(i_value ? 1 : 0);
}

WireWriter& WireWriter::WriteString(const QByteArray& i_value)
{
    WriteU32(quint32(i_value.size()));
    m_bytes.append(i_value);
    return *this;
}

WireWriter& WireWriter::WriteStringList(const QList<QByteArray>& i_values)
{
    WriteU32(quint32(i_values.size()));
    for (const QByteArray& l_value : i_values)
    {
        WriteString(l_value);
    }
    return *this;
}

WireWriter& WireWriter::WriteI32List(const QList<qint32>& i_values)
{
    WriteU32(quint32(i_values.size()));
    for (qint32 l_value : i_values)
    {
        WriteI32(l_value);
    }
    return *this;
}

WireWriter& WireWriter::WriteUserStats(quint32 i_speed, quint64 i_second, quint32 i_files,
                                       quint32 i_fourth)
{
    return WriteU32(i_speed).WriteU64(i_second).WriteU32(i_files).WriteU32(i_fourth);
}

WireWriter& WireWriter::WriteRaw(const QByteArray& i_bytes)
{
    m_bytes.append(i_bytes);
    return *this;
}

QByteArray WireWriter::Frame() const
{
    return LengthPrefixed(m_bytes);
}

QByteArray WireWriter::Frame(quint32 i_code, const QByteArray& i_fields)
{
    WireWriter l_body;
    l_body.WriteU32(i_code).WriteRaw(i_fields);
    return l_body.Frame();
}

QByteArray WireWriter::LengthPrefixed(const QByteArray& i_bytes)
{
    WireWriter l_frame;
    l_frame.WriteU32(quint32(i_bytes.size())).WriteRaw(i_bytes);
    return l_frame.m_bytes;
}
