#pragma once

#include <cstddef>
#include <cstdint>

// Bounds what one input may make the store hold: a fixed allowance for the bookkeeping that any
// input brings, and one item for every few bytes of its messages. A message whose body is
// compressed counts with what the body inflates to, up to a fixed multiple of its size (see
// ItemBudget.cpp) and within the client's own caps on inflation.
class ItemBudget
{
public:
    // What the store holds now is not the input's doing.
    ItemBudget();

    // One message: its size on the wire, length word included.
    void Charge(std::size_t i_size) { m_bytes += i_size; }
    // One message whose body is a zlib stream: the bytes around the stream, the stream.
    void ChargeCompressed(std::size_t i_plainSize, const std::uint8_t* ip_stream,
                          std::size_t i_streamSize);
    // Fails when the store holds more items than the messages so far justify.
    void Check() const;

private:
    std::size_t m_start;
    std::size_t m_bytes = 0;
};
