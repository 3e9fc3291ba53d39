#pragma once

#include <QtGlobal>

#include <cstddef>
#include <cstdint>

// Bounds what one input may make the store hold: a fixed allowance for the bookkeeping that any
// input brings, and one item for every few bytes of its messages. A message whose body is
// compressed counts with what the body inflates to, up to a fixed multiple of its size (see
// ItemBudget.cpp) and within the client's own caps on inflation.
//
// Messages of codes known to break the bound until their fix lands are listed in the environment
// variable FUZZ_KNOWN_AMPLIFICATIONS as words "<side>:<code>" (side "peer" or "server"); an input
// that holds one is not checked.
class ItemBudget
{
public:
    // What the store holds now is not the input's doing.
    explicit ItemBudget(const char* ip_side);

    // One message: its code and its size on the wire, length word included.
    void Charge(quint32 i_code, std::size_t i_size);
    // One message whose body is a zlib stream: the code, the bytes around the stream, the stream.
    void ChargeCompressed(quint32 i_code, std::size_t i_plainSize, const std::uint8_t* ip_stream,
                          std::size_t i_streamSize);
    // Fails when the store holds more items than the messages so far justify.
    void Check() const;

private:
    const char* mp_side;
    std::size_t m_start;
    std::size_t m_bytes = 0;
    bool m_unchecked = false;
};
