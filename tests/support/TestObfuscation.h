#pragma once

#include <QByteArray>

// Per-frame obfuscation of peer connections, written independently of the client so that tests
// can check the client's frames byte for byte.
//
// An obfuscated frame is the 4-byte key K (little-endian) followed by the plain frame (length and
// body) XORed with a running key: before every fourth byte, starting with the first, the key is
// rotated left by one bit, and byte i is XORed with byte (i mod 4) of it, byte 0 being the least
// significant.
class TestObfuscation
{
public:
    static quint32 RotateLeft(quint32 i_key);

    // XORs the bytes that follow the key; the same operation encodes and decodes.
    static QByteArray Transform(const QByteArray& i_bytes, quint32 i_key);

    // The key followed by the transformed plain frame.
    static QByteArray Obfuscate(const QByteArray& i_plainFrame, quint32 i_key);

    // The key of an obfuscated frame (0 when fewer than 4 bytes are given).
    static quint32 KeyOf(const QByteArray& i_obfuscatedFrame);

    // The plain frame of an obfuscated one (empty when fewer than 4 bytes are given).
    static QByteArray Deobfuscate(const QByteArray& i_obfuscatedFrame);
};
