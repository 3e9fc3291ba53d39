#include "MD5.h"

#include <iostream>

namespace
{
constexpr unsigned int streamPieceSize = 1024;

// Per-step additive constants: floor(abs(sin(i + 1)) * 2^32).
constexpr std::uint32_t sineTable[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Rotation amounts: four per pass, repeated over the pass's 16 steps.
constexpr unsigned int shiftTable[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr std::uint32_t RotateLeft(std::uint32_t i_x, unsigned int i_n)
{
    return (i_x << i_n) | (i_x >> (32 - i_n));
}

const char* const hexDigits = "0123456789abcdef";
} // namespace

MD5::MD5()
{
    init();
}

MD5::MD5(std::istream& i_stream)
{
    init();
    update(i_stream);
    finalize();
}

MD5::MD5(std::ifstream& i_stream)
{
    init();
    update(i_stream);
    finalize();
}

MD5::MD5(FILE* i_file)
{
    init();
    update(i_file);
    finalize();
}

void MD5::init()
{
    m_finalized = false;
    m_count[0] = 0;
    m_count[1] = 0;
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
    memset(m_buffer, 0, sizeof(m_buffer));
    memset(m_digest, 0, sizeof(m_digest));
}

void MD5::update(const unsigned char* i_input, unsigned int i_length)
{
    if (m_finalized)
    {
        std::cerr << "MD5::update:  Can't update a finalized digest!" << std::endl;
        return;
    }

    unsigned int l_index = (m_count[0] >> 3) & 0x3F;

    const uint4 l_lowBits = i_length << 3;
    m_count[0] += l_lowBits;
    if (m_count[0] < l_lowBits)
        ++m_count[1];
    m_count[1] += i_length >> 29;

    const unsigned int l_room = 64 - l_index;
    unsigned int l_done = 0;
    if (i_length >= l_room)
    {
        memcpy(m_buffer + l_index, i_input, l_room);
        transform(m_buffer);
        for (l_done = l_room; l_done + 63 < i_length; l_done += 64)
            transform(i_input + l_done);
        l_index = 0;
    }
    memcpy(m_buffer + l_index, i_input + l_done, i_length - l_done);
}

void MD5::update(std::istream& i_stream)
{
    unsigned char l_piece[streamPieceSize];
    while (i_stream.good())
    {
        i_stream.read(reinterpret_cast<char*>(l_piece), streamPieceSize);
        update(l_piece, static_cast<unsigned int>(i_stream.gcount()));
    }
}

void MD5::update(std::ifstream& i_stream)
{
    update(static_cast<std::istream&>(i_stream));
}

void MD5::update(FILE* i_file)
{
    if (i_file == nullptr)
        return;
    unsigned char l_piece[streamPieceSize];
    std::size_t l_read;
    while ((l_read = fread(l_piece, 1, streamPieceSize, i_file)) != 0)
        update(l_piece, static_cast<unsigned int>(l_read));
    fclose(i_file);
}

void MD5::finalize()
{
    if (m_finalized)
    {
        std::cerr << "MD5::finalize:  Already finalized this digest!" << std::endl;
        return;
    }

    static const uint1 padding[64] = {0x80};

    uint1 l_bits[8];
    encode(l_bits, m_count, 8);

    const unsigned int l_index = (m_count[0] >> 3) & 0x3f;
    const unsigned int l_padLength = l_index < 56 ? 56 - l_index : 120 - l_index;
    update(padding, l_padLength);
    update(l_bits, 8);

    encode(m_digest, m_state, 16);
    memset(m_buffer, 0, sizeof(m_buffer));
    m_finalized = true;
}

unsigned char* MD5::raw_digest()
{
    if (!m_finalized)
    {
        std::cerr << "MD5::raw_digest:  Can't get digest if you haven't "
                  << "finalized the digest!" << std::endl;
        return nullptr;
    }
    uint1* l_result = new uint1[16];
    memcpy(l_result, m_digest, 16);
    return l_result;
}

char* MD5::hex_digest()
{
    if (!m_finalized)
    {
        std::cerr << "MD5::hex_digest:  Can't get digest if you haven't "
                  << "finalized the digest!" << std::endl;
        return new char[1]{};
    }
    char* l_result = new char[33];
    for (int i = 0; i < 16; ++i)
    {
        l_result[2 * i] = hexDigits[m_digest[i] >> 4];
        l_result[2 * i + 1] = hexDigits[m_digest[i] & 0x0f];
    }
    l_result[32] = '\0';
    return l_result;
}

std::ostream& operator<<(std::ostream& i_stream, MD5 i_md5)
{
    char* l_hex = i_md5.hex_digest();
    i_stream << l_hex;
    delete[] l_hex;
    return i_stream;
}

void MD5::transform(const uint1 i_block[64])
{
    uint4 l_x[16];
    decode(l_x, i_block, 64);

    uint4 l_a = m_state[0];
    uint4 l_b = m_state[1];
    uint4 l_c = m_state[2];
    uint4 l_d = m_state[3];

    for (unsigned int i = 0; i < 64; ++i)
    {
        const unsigned int l_pass = i / 16;
        uint4 l_f;
        unsigned int l_word;
        switch (l_pass)
        {
            case 0:
                l_f = (l_b & l_c) | (~l_b & l_d);
                l_word = i;
                break;
            case 1:
                l_f = (l_b & l_d) | (l_c & ~l_d);
                l_word = (5 * i + 1) % 16;
                break;
            case 2:
                l_f = l_b ^ l_c ^ l_d;
                l_word = (3 * i + 5) % 16;
                break;
            default:
                l_f = l_c ^ (l_b | ~l_d);
                l_word = (7 * i) % 16;
                break;
        }
        const uint4 l_rotated =
            RotateLeft(l_a + l_f + l_x[l_word] + sineTable[i], shiftTable[l_pass][i % 4]);
        l_a = l_d;
        l_d = l_c;
        l_c = l_b;
        l_b = l_b + l_rotated;
    }

    m_state[0] += l_a;
    m_state[1] += l_b;
    m_state[2] += l_c;
    m_state[3] += l_d;
}

void MD5::encode(uint1* i_output, const uint4* i_input, unsigned int i_length)
{
    for (unsigned int i = 0, j = 0; j < i_length; ++i, j += 4)
    {
        i_output[j] = static_cast<uint1>(i_input[i] & 0xff);
        i_output[j + 1] = static_cast<uint1>((i_input[i] >> 8) & 0xff);
        i_output[j + 2] = static_cast<uint1>((i_input[i] >> 16) & 0xff);
        i_output[j + 3] = static_cast<uint1>((i_input[i] >> 24) & 0xff);
    }
}

void MD5::decode(uint4* i_output, const uint1* i_input, unsigned int i_length)
{
    for (unsigned int i = 0, j = 0; j < i_length; ++i, j += 4)
        i_output[i] = static_cast<uint4>(i_input[j]) | (static_cast<uint4>(i_input[j + 1]) << 8) |
                      (static_cast<uint4>(i_input[j + 2]) << 16) |
                      (static_cast<uint4>(i_input[j + 3]) << 24);
}

void MD5::memcpy(uint1* i_output, const uint1* i_input, unsigned int i_length)
{
    for (unsigned int i = 0; i < i_length; ++i)
        i_output[i] = i_input[i];
}

void MD5::memset(uint1* i_output, uint1 i_value, unsigned int i_length)
{
    for (unsigned int i = 0; i < i_length; ++i)
        i_output[i] = i_value;
}
