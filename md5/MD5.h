#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>

// MD5 message digest (RFC 1321) over data given in pieces.
class MD5
{
public:
    MD5();
    explicit MD5(std::istream& i_stream);
    explicit MD5(std::ifstream& i_stream);
    // Hashes the whole file, then closes it.
    explicit MD5(FILE* i_file);

    void update(const unsigned char* i_input, unsigned int i_length);
    void update(std::istream& i_stream);
    void update(std::ifstream& i_stream);
    // Hashes the rest of the file, then closes it.
    void update(FILE* i_file);
    void finalize();

    // Both digests are new arrays that the caller frees with delete[], also when the digest
    // is not finalized yet (then raw_digest gives null and hex_digest an empty text).
    unsigned char* raw_digest();
    char* hex_digest();

    friend std::ostream& operator<<(std::ostream& i_stream, MD5 i_md5);

private:
    using uint4 = std::uint32_t;
    using uint1 = unsigned char;

    void init();
    void transform(const uint1 i_block[64]);

    static void encode(uint1* i_output, const uint4* i_input, unsigned int i_length);
    static void decode(uint4* i_output, const uint1* i_input, unsigned int i_length);
    static void memcpy(uint1* i_output, const uint1* i_input, unsigned int i_length);
    static void memset(uint1* i_output, uint1 i_value, unsigned int i_length);

    uint4 m_state[4];
    uint4 m_count[2]; // bits hashed so far, low word first
    uint1 m_buffer[64];
    uint1 m_digest[16];
    bool m_finalized;
};
