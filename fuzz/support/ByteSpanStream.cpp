#include "ByteSpanStream.h"

#include <cstring>

ByteSpanStream::ByteSpanStream(const std::uint8_t* ip_bytes, std::size_t i_size)
    : mp_bytes(ip_bytes), m_size(i_size)
{
}

bool ByteSpanStream::ReadBuffer(void* i_destination, unsigned long i_length)
{
    if (i_length > m_size - m_offset)
        return false;
    if (i_length > 0)
        std::memcpy(i_destination, mp_bytes + m_offset, i_length);
    m_offset += i_length;
    return true;
}
