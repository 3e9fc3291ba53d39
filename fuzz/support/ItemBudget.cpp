#include "ItemBudget.h"

#include "Data.h"
#include "FuzzChecks.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

namespace
{
// The smallest field that brings a value of its own, and with it an item, is four bytes: a u32,
// or a string's length word (a one-byte name takes five).
constexpr std::size_t bytesPerItem = 4;
// A connection, its user, the attempts and requests around it and the settings that a message
// touches come with any input, however short.
constexpr std::size_t allowance = 64;
// Text and numbers deflate to no less than a sixteenth.
constexpr std::size_t deflateRatio = 16;

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

bool Known(const char* ip_side, quint32 i_code)
{
    static const std::set<std::string> s_known = []
    {
        std::set<std::string> l_known;
        std::istringstream l_words(std::getenv("FUZZ_KNOWN_AMPLIFICATIONS") ?: "");
        for (std::string l_word; l_words >> l_word;)
            l_known.insert(l_word);
        return l_known;
    }();
    return s_known.count(std::string(ip_side) + ':' + std::to_string(i_code)) != 0;
}
} // namespace

ItemBudget::ItemBudget(const char* ip_side) : mp_side(ip_side), m_start(HeldItems()) {}

void ItemBudget::Charge(quint32 i_code, std::size_t i_size)
{
    m_bytes += i_size;
    m_unchecked = m_unchecked || Known(mp_side, i_code);
}

void ItemBudget::ChargeCompressed(quint32 i_code, std::size_t i_plainSize,
                                  const std::uint8_t* ip_stream, std::size_t i_streamSize)
{
    Charge(i_code,
           i_plainSize + InflatedSize(ip_stream, i_streamSize, i_streamSize * deflateRatio));
}

void ItemBudget::Check() const
{
    const std::size_t l_held = HeldItems();
    const std::size_t l_added = l_held > m_start ? l_held - m_start : 0;
    if (m_unchecked || l_added <= allowance + m_bytes / bytesPerItem)
        return;
    std::fprintf(stderr, "%zu items more for %zu bytes of messages\n", l_added, m_bytes);
    FailCheck("the store holds no more items than the input's bytes justify");
}
