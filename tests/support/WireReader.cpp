#include "WireReader.h"

WireReader::WireReader(const QByteArray& i_bytes) : m_bytes(i_bytes) {}

bool WireReader::Take(qsizetype i_count, const char** o_start)
{
    if (m_failed || i_count < 0 || i_count > m_bytes.size() - m_position)
    {
        m_failed = true;
        return false;
    }
    *o_start = m_bytes.constData() + m_position;
    m_position += i_count;
    return true;
}

template <typename T> T WireReader::ReadLittleEndian()
{
    const char* l_start = nullptr;
    if (!Take(qsizetype(sizeof(T)), &l_start))
    {
        return T(0);
    }
    T l_value = 0;
    for (unsigned l_i = 0; l_i < sizeof(T); ++l_i)
    {
        l_value |= T(T(quint8(l_start[l_i])) << (8 * l_i));
    }
    return l_value;
}

quint8 WireReader::ReadU8()
{
    return ReadLittleEndian<quint8>();
}

quint16 WireReader::ReadU16()
{
    return ReadLittleEndian<quint16>();
}

quint32 WireReader::ReadU32()
{
    return ReadLittleEndian<quint32>();
}

qint32 WireReader::ReadI32()
{
    return qint32(ReadLittleEndian<quint32>());
}

quint64 WireReader::ReadU64()
{
    return ReadLittleEndian<quint64>();
}

bool WireReader::ReadBool()
{
    return ReadU8() != 0;
}

QByteArray WireReader::ReadString()
{
    const qsizetype l_start = m_position;
    const quint32 l_length = ReadU32();
    const char* l_bytes = nullptr;
    if (m_failed || l_length > kMaxLength || !Take(qsizetype(l_length), &l_bytes))
    {
        m_failed = true;
        m_position = l_start;
        return QByteArray();
    }
    return QByteArray(l_bytes, qsizetype(l_length));
}

QByteArray WireReader::ReadRaw(int i_count)
{
    const char* l_bytes = nullptr;
    if (!Take(i_count, &l_bytes))
    {
        return QByteArray();
    }
    return QByteArray(l_bytes, i_count);
}

QByteArray WireReader::ReadRest()
{
    const QByteArray l_rest = m_bytes.mid(m_position);
    m_position = m_bytes.size();
    return l_rest;
}

QList<QByteArray> WireReader::ReadStringList()
{
    const qsizetype l_start = m_position;
    const quint32 l_count = ReadU32();
    QList<QByteArray> l_values;
    if (!m_failed && l_count <= kMaxLength)
    {
        // Each string takes at least its 4 length bytes, so a count beyond that cannot fit.
        if (l_count <= quint32(Remaining() / 4))
        {
            l_values.reserve(l_count);
        }
        for (quint32 l_i = 0; l_i < l_count && !m_failed; ++l_i)
        {
            l_values.append(ReadString());
        }
    }
    if (m_failed || l_count > kMaxLength)
    {
        m_failed = true;
        m_position = l_start;
        return QList<QByteArray>();
    }
    return l_values;
}

QList<qint32> WireReader::ReadI32List()
{
    const qsizetype l_start = m_position;
    const quint32 l_count = ReadU32();
    if (m_failed || l_count > kMaxLength || l_count > quint32(Remaining() / 4))
    {
        m_failed = true;
        m_position = l_start;
        return QList<qint32>();
    }
    QList<qint32> l_values;
    l_values.reserve(l_count);
    for (quint32 l_i = 0; l_i < l_count; ++l_i)
    {
        l_values.append(ReadI32());
    }
    return l_values;
}
