#pragma once

#include <QByteArray>
#include <QtGlobal>

// The per-frame obfuscation of peer connections. An obfuscated frame is a 4-byte key K followed
// by the plain frame (length and body) XORed with a running key: before every fourth byte,
// starting with the first, the key is rotated left by one bit, and byte i takes byte (i mod 4) of
// it, byte 0 being the least significant.
class PeerObfuscation
{
public:
    static quint32 RotateLeft(quint32 i_key) { return (i_key << 1) | (i_key >> 31); }

    // XORs the bytes in place; i_key is the key before its first rotation. The same call encodes
    // and decodes. The running key repeats every 128 bytes, so whole blocks are XORed with one
    // precomputed pad.
    static void Transform(char* ip_bytes, qsizetype i_length, quint32 i_key)
    {
        Transform(ip_bytes, ip_bytes, i_length, i_key);
    }
    // The same, from one buffer into another (or the same) in one pass.
    static void Transform(const char* ip_source, char* ip_destination, qsizetype i_length,
                          quint32 i_key);

    // A fresh key from four calls of rand: bits 31-24 from the low byte of the first result, and
    // so on down to bits 7-0 from the fourth.
    static quint32 NewKey();

    // The whole frame of a body: its u32 length and the body, or, obfuscated, the key followed by
    // both transformed.
    static QByteArray Frame(const char* ip_body, qsizetype i_length, bool i_obfuscate,
                            quint32 i_key);
};
