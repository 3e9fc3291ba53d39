#pragma once

#include <QByteArray>
#include <QList>

// Reads message bodies written little-endian, independently of the client's own stream classes.
// Safe on short or hostile input: a read that does not fit in what is left, or a string length
// or element count above 131072, fails, consumes nothing and returns zero or empty; the failure
// is sticky, so a run of reads can be checked once with Ok().
class WireReader
{
public:
    static constexpr quint32 kMaxLength = 131072;

    explicit WireReader(const QByteArray& i_bytes);

    quint8 ReadU8();
    quint16 ReadU16();
    quint32 ReadU32();
    qint32 ReadI32();
    quint64 ReadU64();
    // A one-byte flag: anything but 0 is true.
    bool ReadBool();
    // A u32 length and that many bytes, all kept (a zero byte is not cut off: tests see exactly
    // what was sent).
    QByteArray ReadString();
    QList<QByteArray> ReadStringList();
    QList<qint32> ReadI32List();
    QByteArray ReadRaw(int i_count);
    // Everything not read yet; never fails.
    QByteArray ReadRest();

    bool Ok() const { return !m_failed; }
    bool AtEnd() const { return m_position == m_bytes.size(); }
    int Remaining() const { return int(m_bytes.size() - m_position); }
    int Position() const { return int(m_position); }

private:
    bool Take(qsizetype i_count, const char** o_start);
    template <typename T> T ReadLittleEndian();

    QByteArray m_bytes;
    qsizetype m_position = 0;
    bool m_failed = false;
};
