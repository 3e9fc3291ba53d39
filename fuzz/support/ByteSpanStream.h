#pragma once

#include "InputStream.h"

#include <cstddef>
#include <cstdint>

// Reads bytes held elsewhere without telling the readers how many remain, as a socket or a file
// could not: the readers must stay bounded without asking first.
class ByteSpanStream : public InputStream
{
public:
    ByteSpanStream(const std::uint8_t* ip_bytes, std::size_t i_size);

    bool ReadBuffer(void* i_destination, unsigned long i_length) override;
    std::size_t Consumed() const { return m_offset; }

private:
    const std::uint8_t* mp_bytes;
    std::size_t m_size;
    std::size_t m_offset = 0;
};
