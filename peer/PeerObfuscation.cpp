#include "PeerObfuscation.h"

#include <QtEndian>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr qsizetype padBytes = 128;
constexpr qsizetype padWords = padBytes / 8;
} // namespace

void PeerObfuscation::Transform(const char* ip_source, char* ip_destination, qsizetype i_length,
                                quint32 i_key)
{
    // Rotating 32 times gives the key back: one pad of 32 running keys covers every block.
    alignas(16) unsigned char l_pad[padBytes];
    quint32 l_key = i_key;
    for (qsizetype l_word = 0; l_word < padBytes / 4; ++l_word)
    {
        l_key = RotateLeft(l_key);
        qToLittleEndian(l_key, l_pad + 4 * l_word);
    }
    std::uint64_t l_padWords[padWords];
    std::memcpy(l_padWords, l_pad, padBytes);

    qsizetype l_done = 0;
    for (; l_done + padBytes <= i_length; l_done += padBytes)
    {
        std::uint64_t l_block[padWords];
        std::memcpy(l_block, ip_source + l_done, padBytes);
        for (qsizetype l_word = 0; l_word < padWords; ++l_word)
            l_block[l_word] ^= l_padWords[l_word];
        std::memcpy(ip_destination + l_done, l_block, padBytes);
    }
    for (qsizetype l_index = 0; l_done + l_index < i_length; ++l_index)
        ip_destination[l_done + l_index] =
            static_cast<char>(ip_source[l_done + l_index] ^ l_pad[l_index]);
}

quint32 PeerObfuscation::NewKey()
{
    quint32 l_key = 0;
    for (int l_call = 0; l_call < 4; ++l_call)
        l_key = (l_key << 8) | (static_cast<quint32>(std::rand()) & 0xff);
    return l_key;
}

QByteArray PeerObfuscation::Frame(const char* ip_body, qsizetype i_length, bool i_obfuscate,
                                  quint32 i_key)
{
    const qsizetype l_keyBytes = i_obfuscate ? 4 : 0;
    QByteArray l_frame(l_keyBytes + 4 + i_length, Qt::Uninitialized);
    char* lp_frame = l_frame.data();
    qToLittleEndian(static_cast<quint32>(i_length), lp_frame + l_keyBytes);
    if (!i_obfuscate)
    {
        if (i_length > 0)
            std::memcpy(lp_frame + 4, ip_body, static_cast<std::size_t>(i_length));
        return l_frame;
    }
    qToLittleEndian(i_key, lp_frame);
    Transform(lp_frame + 4, 4, i_key);
    // The body continues the running key: it is a transformation of its own from the key
    // rotated once.
    Transform(ip_body, lp_frame + 8, i_length, RotateLeft(i_key));
    return l_frame;
}
