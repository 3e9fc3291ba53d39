#pragma once

#include "ByteSpanStream.h"
#include "FuzzChecks.h"
#include "MemStream.h"

#include <cstddef>
#include <cstdint>
#include <functional>

// Reads the bytes as a run of values of one kind, through a MemStream and through a stream that
// cannot tell its length, until a read fails. Both must agree on every value and on the bytes
// consumed, and each value must read back equal and whole after it is written again.
template <class T, class Equal = std::equal_to<T>>
void CheckValueRun(const std::uint8_t* ip_bytes, std::size_t i_size, Equal i_equal = Equal())
{
    MemStream l_memory;
    Require(l_memory.WriteBuffer(ip_bytes, i_size), "the input fits a MemStream");
    ByteSpanStream l_span(ip_bytes, i_size);
    for (;;)
    {
        T l_fromMemory{};
        T l_fromSpan{};
        const bool l_memoryRead = l_memory.Read(l_fromMemory);
        const bool l_spanRead = l_span.Read(l_fromSpan);
        Require(l_memoryRead == l_spanRead, "both sources succeed or fail alike");
        Require(i_size - std::size_t(l_memory.GetPendingReadLength()) == l_span.Consumed(),
                "both sources consume the same bytes");
        if (!l_memoryRead)
            return;
        Require(i_equal(l_fromMemory, l_fromSpan), "both sources read the same value");

        MemStream l_encoded;
        Require(l_encoded.Write(l_fromMemory), "a value read can be written");
        T l_again{};
        Require(l_encoded.Read(l_again), "a written value reads back");
        Require(l_encoded.GetPendingReadLength() == 0, "a written value reads back whole");
        Require(i_equal(l_again, l_fromMemory), "a written value reads back equal");
    }
}
