#pragma once

#include "InputStream.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// Reads bytes held elsewhere without telling the readers how many remain, as a socket or a file
// could not: the readers must stay bounded without asking first.
class ByteSpanStream : public InputStream
{
public:
    ByteSpanStream(const std::uint8_t* ip_bytes, std::size_t i_size)
        : mp_bytes(ip_bytes), m_size(i_size)
    {
    }

    bool ReadBuffer(void* i_destination, unsigned long i_length) override
    {
        if (i_length > m_size - m_offset)
            return false;
        if (i_length > 0)
            std::memcpy(i_destination, mp_bytes + m_offset, i_length);
        m_offset += i_length;
        return true;
    }
    std::size_t Consumed() const { return m_offset; }

private:
    const std::uint8_t* mp_bytes;
    std::size_t m_size;
    std::size_t m_offset = 0;
};
