#include "ItemBudget.h"

#include "Data.h"
#include "FuzzChecks.h"

#include <zlib.h>

#include <cstdio>

namespace
{
// Each item that a message rightly creates stands for a value of its own on the wire, and the
// smallest field that carries one is four bytes: a u32 (a count, a port, a number of a list) or a
// string's length word (a one-letter name takes five).
constexpr std::size_t bytesPerItem = 4;
// A connection, its user, the attempts and requests around it and the settings that a message
// touches come with any input, however short.
constexpr std::size_t allowance = 64;
// A compressed body counts for what it inflates to, up to this many times its size: names, sizes
// and numbers that differ from one record to the next deflate to a fifth or a tenth, not further;
// what lies beyond is repetition, which justifies no items of its own.
constexpr std::size_t deflateRatio = 16;

// Extra coverage for libFuzzer: one counter for each level that the items held beyond what the
// bytes justify reach, two items a level from sixteen below. Inputs that climb towards the
// allowance are kept, so that amplifications are found step by step rather than only by chance.
__attribute__((used, section("__libfuzzer_extra_counters"))) std::uint8_t g_surplusLevels[64];

std::size_t HeldItems()
{
    std::size_t l_count = 0;
    for (const Type* lp_type : d.Types())
        l_count += lp_type->ItemCount();
    return l_count;
}

// The bytes that the stream inflates to, counted up to the limit.
std::size_t InflatedSize(const std::uint8_t* ip_stream, std::size_t i_size, std::size_t i_limit)
{
    z_stream l_stream{};
    if (inflateInit(&l_stream) != Z_OK)
        return 0;
    l_stream.next_in = const_cast<Bytef*>(ip_stream);
    l_stream.avail_in = uInt(i_size);
    Bytef l_scratch[65536];
    std::size_t l_size = 0;
    int l_result = Z_OK;
    while (l_result == Z_OK && l_size < i_limit)
    {
        l_stream.next_out = l_scratch;
        l_stream.avail_out = sizeof l_scratch;
        l_result = inflate(&l_stream, Z_NO_FLUSH);
        l_size += sizeof l_scratch - l_stream.avail_out;
    }
    inflateEnd(&l_stream);
    return std::min(l_size, i_limit);
}
} // namespace

ItemBudget::ItemBudget() : m_start(HeldItems()) {}

void ItemBudget::ChargeCompressed(std::size_t i_plainSize, const std::uint8_t* ip_stream,
                                  std::size_t i_streamSize)
{
    Charge(i_plainSize + InflatedSize(ip_stream, i_streamSize, i_streamSize * deflateRatio));
}

void ItemBudget::Check() const
{
    const std::size_t l_held = HeldItems();
    const std::size_t l_added = l_held > m_start ? l_held - m_start : 0;
    const std::ptrdiff_t l_surplus =
        std::ptrdiff_t(l_added) - std::ptrdiff_t(m_bytes / bytesPerItem);
    g_surplusLevels[std::clamp<std::ptrdiff_t>(l_surplus / 2 + 8, 0, 63)] = 1;
    if (l_added > allowance + m_bytes / bytesPerItem)
        std::fprintf(stderr, "%zu items more for %zu bytes of messages\n", l_added, m_bytes);
    Require(l_added <= allowance + m_bytes / bytesPerItem,
            "the store holds no more items than the input's bytes justify");
}
