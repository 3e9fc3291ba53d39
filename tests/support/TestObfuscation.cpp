#include "TestObfuscation.h"

quint32 TestObfuscation::RotateLeft(quint32 i_key)
{
    return (i_key << 1) | (i_key >> 31);
}

QByteArray TestObfuscation::Transform(const QByteArray& i_bytes, quint32 i_key)
{
    QByteArray l_result = i_bytes;
    quint32 l_key = i_key;
    for (qsizetype l_index = 0; l_index < l_result.size(); ++l_index)
    {
        const int l_byte = int(l_index % 4);
        if (l_byte == 0)
            l_key = RotateLeft(l_key);
        l_result[l_index] = char(quint8(l_result[l_index]) ^ quint8(l_key >> (8 * l_byte)));
    }
    return l_result;
}

QByteArray TestObfuscation::Obfuscate(const QByteArray& i_plainFrame, quint32 i_key)
{
    QByteArray l_result;
    l_result.reserve(4 + i_plainFrame.size());
    for (int l_shift = 0; l_shift < 32; l_shift += 8)
        l_result.append(char(quint8(i_key >> l_shift)));
    l_result.append(Transform(i_plainFrame, i_key));
    return l_result;
}

quint32 TestObfuscation::KeyOf(const QByteArray& i_obfuscatedFrame)
{
    if (i_obfuscatedFrame.size() < 4)
        return 0;
    quint32 l_key = 0;
    for (int l_index = 0; l_index < 4; ++l_index)
        l_key |= quint32(quint8(i_obfuscatedFrame[l_index])) << (8 * l_index);
    return l_key;
}

QByteArray TestObfuscation::Deobfuscate(const QByteArray& i_obfuscatedFrame)
{
    if (i_obfuscatedFrame.size() < 4)
        return QByteArray();
    return Transform(i_obfuscatedFrame.mid(4), KeyOf(i_obfuscatedFrame));
}
