#include "ItemSet.h"

#include "Data.h"
#include "LoadArena.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <optional>
#include <type_traits>

namespace
{
bool SerialLess(Item const* ip_a, Item const* ip_b)
{
    return ip_a->Serial() < ip_b->Serial();
}

std::uint32_t FlatCapacityFor(std::size_t i_size)
{
    return std::max<std::uint32_t>(4, std::bit_ceil(static_cast<std::uint32_t>(i_size)));
}

// The first position in [ip_begin, ip_end) whose serial is not below i_serial.
Item** LowerBound(Item** ip_begin, Item** ip_end, std::uint64_t i_serial)
{
    return std::lower_bound(ip_begin, ip_end, i_serial,
                            [](Item const* ip_item, std::uint64_t i_key)
                            { return ip_item->Serial() < i_key; });
}

void SortUnique(std::vector<Item*>& i_items)
{
    std::erase(i_items, nullptr);
    std::sort(i_items.begin(), i_items.end(), SerialLess);
    i_items.erase(std::unique(i_items.begin(), i_items.end()), i_items.end());
}
} // namespace

ItemSet::ItemSet(Item* ip_item) : m_size(ip_item ? 1 : 0), mp_one(ip_item) {}

ItemSet::ItemSet(std::initializer_list<Item*> i_items) : mp_one(nullptr)
{
    std::vector<Item*> l_items(i_items);
    SortUnique(l_items);
    AssignSorted(l_items);
}

ItemSet::ItemSet(std::vector<Item*> i_items) : mp_one(nullptr)
{
    SortUnique(i_items);
    AssignSorted(i_items);
}

ItemSet::ItemSet(ItemSet const& i_other)
    : m_size(i_other.m_size), m_capacity(i_other.m_capacity), mp_one(i_other.mp_one)
{
    if (IsFlat())
    {
        // A copy lives on the heap, whatever the original.
        m_capacity = i_other.FlatCapacity();
        mp_flat = new Item*[m_capacity];
        std::copy(i_other.mp_flat, i_other.mp_flat + m_size, mp_flat);
    }
    else if (IsChunked())
        mp_chunks = new std::vector<Chunk>(*i_other.mp_chunks);
}

ItemSet::ItemSet(ItemSet&& i_other) noexcept
    : m_size(i_other.m_size), m_capacity(i_other.m_capacity), mp_one(i_other.mp_one)
{
    i_other.m_size = 0;
    i_other.m_capacity = 0;
    i_other.mp_one = nullptr;
}

ItemSet& ItemSet::operator=(ItemSet const& i_other)
{
    if (this != &i_other)
    {
        ItemSet l_copy(i_other);
        *this = std::move(l_copy);
    }
    return *this;
}

ItemSet& ItemSet::operator=(ItemSet&& i_other) noexcept
{
    if (this != &i_other)
    {
        Release();
        m_size = i_other.m_size;
        m_capacity = i_other.m_capacity;
        mp_one = i_other.mp_one;
        i_other.m_size = 0;
        i_other.m_capacity = 0;
        i_other.mp_one = nullptr;
    }
    return *this;
}

ItemSet::~ItemSet()
{
    Release();
}

void ItemSet::FreeFlat()
{
    if (m_capacity & Borrowed)
        LoadArena::Give(mp_flat, FlatCapacity() * sizeof(Item*));
    else
        delete[] mp_flat;
}

void ItemSet::Release()
{
    if (IsFlat())
        FreeFlat();
    else if (IsChunked())
        delete mp_chunks;
    m_size = 0;
    m_capacity = 0;
    mp_one = nullptr;
}

void ItemSet::clear()
{
    Release();
}

ItemSet::const_iterator ItemSet::begin() const
{
    const_iterator l_it;
    if (IsChunked())
    {
        l_it.mp_chunk = mp_chunks->data();
        l_it.mp_lastChunk = &mp_chunks->back();
        l_it.mp_current = l_it.mp_chunk->m_items.data();
        l_it.mp_chunkEnd = l_it.mp_current + l_it.mp_chunk->m_items.size();
    }
    else if (IsFlat())
    {
        l_it.mp_current = mp_flat;
        l_it.mp_chunkEnd = mp_flat + m_size;
    }
    else
    {
        l_it.mp_current = &mp_one;
        l_it.mp_chunkEnd = &mp_one + m_size;
    }
    return l_it;
}

ItemSet::const_iterator ItemSet::end() const
{
    const_iterator l_it;
    if (IsChunked())
    {
        l_it.mp_chunk = l_it.mp_lastChunk = &mp_chunks->back();
        l_it.mp_current = l_it.mp_chunkEnd =
            l_it.mp_chunk->m_items.data() + l_it.mp_chunk->m_items.size();
    }
    else if (IsFlat())
        l_it.mp_current = l_it.mp_chunkEnd = mp_flat + m_size;
    else
        l_it.mp_current = l_it.mp_chunkEnd = &mp_one + m_size;
    return l_it;
}

Item* ItemSet::front() const
{
    return *begin();
}

void ItemSet::AssignSorted(std::span<Item* const> i_sorted, LoadArena* ip_arena)
{
    Release();
    std::size_t const l_size = i_sorted.size();
    if (l_size <= 1)
    {
        m_size = static_cast<std::uint32_t>(l_size);
        mp_one = l_size ? i_sorted.front() : nullptr;
        return;
    }
    if (l_size <= FlatMax)
    {
        m_capacity = FlatCapacityFor(l_size);
        void* lp_memory = ip_arena ? ip_arena->Take(m_capacity * sizeof(Item*)) : nullptr;
        mp_flat = lp_memory ? static_cast<Item**>(lp_memory) : new Item*[m_capacity];
        if (lp_memory)
            m_capacity |= Borrowed;
        std::copy(i_sorted.begin(), i_sorted.end(), mp_flat);
        m_size = static_cast<std::uint32_t>(l_size);
        return;
    }
    auto* lp_chunks = new std::vector<Chunk>();
    lp_chunks->reserve((l_size + ChunkMax - 1) / ChunkMax);
    for (std::size_t l_start = 0; l_start < l_size; l_start += ChunkMax)
    {
        std::size_t const l_count = std::min(ChunkMax, l_size - l_start);
        Chunk& l_chunk = lp_chunks->emplace_back();
        l_chunk.m_items.reserve(std::bit_ceil(l_count));
        l_chunk.m_items.assign(i_sorted.begin() + l_start, i_sorted.begin() + l_start + l_count);
        l_chunk.m_lastSerial = l_chunk.m_items.back()->Serial();
    }
    mp_chunks = lp_chunks;
    m_capacity = Chunked;
    m_size = static_cast<std::uint32_t>(l_size);
}

bool ItemSet::insert(Item* ip_item)
{
    if (!ip_item)
        return false;
    if (m_capacity == 0)
    {
        if (m_size == 0)
        {
            mp_one = ip_item;
            m_size = 1;
            return true;
        }
        if (mp_one == ip_item)
            return false;
        Item* lp_held = mp_one;
        mp_flat = new Item*[4];
        m_capacity = 4;
        bool const l_heldFirst = SerialLess(lp_held, ip_item);
        mp_flat[0] = l_heldFirst ? lp_held : ip_item;
        mp_flat[1] = l_heldFirst ? ip_item : lp_held;
        m_size = 2;
        return true;
    }
    if (IsChunked())
        return InsertChunked(ip_item);

    // New items come last: a member after the last one needs no search.
    std::uint64_t const l_serial = ip_item->Serial();
    Item** lp_at = mp_flat[m_size - 1]->Serial() < l_serial
                       ? mp_flat + m_size
                       : LowerBound(mp_flat, mp_flat + m_size, l_serial);
    if (lp_at != mp_flat + m_size && *lp_at == ip_item)
        return false;
    std::uint32_t const l_capacity = FlatCapacity();
    if (m_size == l_capacity)
    {
        if (l_capacity >= FlatMax)
        {
            FlatToChunked();
            return InsertChunked(ip_item);
        }
        std::size_t const l_offset = lp_at - mp_flat;
        Item** lp_grown = new Item*[l_capacity * 2];
        std::copy(mp_flat, mp_flat + m_size, lp_grown);
        FreeFlat();
        mp_flat = lp_grown;
        m_capacity = l_capacity * 2;
        lp_at = mp_flat + l_offset;
    }
    std::memmove(lp_at + 1, lp_at, (mp_flat + m_size - lp_at) * sizeof(Item*));
    *lp_at = ip_item;
    ++m_size;
    return true;
}

bool ItemSet::InsertChunked(Item* ip_item)
{
    std::vector<Chunk>& l_chunks = *mp_chunks;
    std::uint64_t const l_serial = ip_item->Serial();
    auto l_chunk = l_chunks.back().m_lastSerial < l_serial
                       ? l_chunks.end()
                       : std::lower_bound(l_chunks.begin(), l_chunks.end(), l_serial,
                                          [](Chunk const& i_chunk, std::uint64_t i_key)
                                          { return i_chunk.m_lastSerial < i_key; });
    if (l_chunk == l_chunks.end())
    {
        // Past every member, the common case of a new item: append, and keep chunks full.
        if (l_chunks.back().m_items.size() == ChunkMax)
        {
            Chunk l_new;
            l_new.m_items.reserve(FlatMax);
            l_chunks.push_back(std::move(l_new));
        }
        Chunk& l_last = l_chunks.back();
        l_last.m_items.push_back(ip_item);
        l_last.m_lastSerial = l_serial;
        ++m_size;
        return true;
    }
    auto l_at = std::lower_bound(l_chunk->m_items.begin(), l_chunk->m_items.end(), l_serial,
                                 [](Item const* ip_member, std::uint64_t i_key)
                                 { return ip_member->Serial() < i_key; });
    if (*l_at == ip_item)
        return false;
    if (l_chunk->m_items.size() == ChunkMax)
    {
        std::size_t const l_index = l_chunk - l_chunks.begin();
        Chunk l_upper;
        l_upper.m_items.reserve(ChunkMax);
        l_upper.m_items.assign(l_chunk->m_items.begin() + ChunkMax / 2, l_chunk->m_items.end());
        l_upper.m_lastSerial = l_chunk->m_lastSerial;
        l_chunk->m_items.resize(ChunkMax / 2);
        l_chunk->m_lastSerial = l_chunk->m_items.back()->Serial();
        l_chunks.insert(l_chunks.begin() + l_index + 1, std::move(l_upper));
        l_chunk = l_chunks.begin() + l_index;
        if (l_serial > l_chunk->m_lastSerial)
            ++l_chunk;
        l_at = std::lower_bound(l_chunk->m_items.begin(), l_chunk->m_items.end(), l_serial,
                                [](Item const* ip_member, std::uint64_t i_key)
                                { return ip_member->Serial() < i_key; });
    }
    l_chunk->m_items.insert(l_at, ip_item);
    ++m_size;
    return true;
}

std::size_t ItemSet::erase(Item* ip_item)
{
    if (!ip_item || m_size == 0)
        return 0;
    if (m_capacity == 0)
    {
        if (mp_one != ip_item)
            return 0;
        mp_one = nullptr;
        m_size = 0;
        return 1;
    }
    if (IsChunked())
    {
        if (!EraseChunked(ip_item))
            return 0;
        if (m_size <= FlatMax / 2)
            ChunkedToFlat();
        return 1;
    }
    Item** lp_end = mp_flat + m_size;
    Item** lp_at = LowerBound(mp_flat, lp_end, ip_item->Serial());
    if (lp_at == lp_end || *lp_at != ip_item)
        return 0;
    std::memmove(lp_at, lp_at + 1, (lp_end - lp_at - 1) * sizeof(Item*));
    --m_size;
    std::uint32_t const l_capacity = FlatCapacity();
    if (m_size == 1)
    {
        Item* lp_left = mp_flat[0];
        FreeFlat();
        mp_one = lp_left;
        m_capacity = 0;
    }
    else if (l_capacity > 4 && m_size <= l_capacity / 4)
    {
        Item** lp_shrunk = new Item*[l_capacity / 2];
        std::copy(mp_flat, mp_flat + m_size, lp_shrunk);
        FreeFlat();
        mp_flat = lp_shrunk;
        m_capacity = l_capacity / 2;
    }
    return 1;
}

bool ItemSet::EraseChunked(Item* ip_item)
{
    std::vector<Chunk>& l_chunks = *mp_chunks;
    std::uint64_t const l_serial = ip_item->Serial();
    auto l_chunk = std::lower_bound(l_chunks.begin(), l_chunks.end(), l_serial,
                                    [](Chunk const& i_chunk, std::uint64_t i_key)
                                    { return i_chunk.m_lastSerial < i_key; });
    if (l_chunk == l_chunks.end())
        return false;
    auto l_at = std::lower_bound(l_chunk->m_items.begin(), l_chunk->m_items.end(), l_serial,
                                 [](Item const* ip_member, std::uint64_t i_key)
                                 { return ip_member->Serial() < i_key; });
    if (l_at == l_chunk->m_items.end() || *l_at != ip_item)
        return false;
    l_chunk->m_items.erase(l_at);
    --m_size;
    if (l_chunk->m_items.empty())
    {
        l_chunks.erase(l_chunk);
        return true;
    }
    l_chunk->m_lastSerial = l_chunk->m_items.back()->Serial();
    // Merge a thinned chunk into a neighbour so that sparse chunks do not pile up.
    if (l_chunk->m_items.size() < ChunkMax / 8)
    {
        auto l_next = l_chunk + 1;
        if (l_next != l_chunks.end() &&
            l_chunk->m_items.size() + l_next->m_items.size() <= ChunkMax / 2)
        {
            l_chunk->m_items.insert(l_chunk->m_items.end(), l_next->m_items.begin(),
                                    l_next->m_items.end());
            l_chunk->m_lastSerial = l_next->m_lastSerial;
            l_chunks.erase(l_next);
        }
        else if (l_chunk != l_chunks.begin())
        {
            auto l_previous = l_chunk - 1;
            if (l_chunk->m_items.size() + l_previous->m_items.size() <= ChunkMax / 2)
            {
                l_previous->m_items.insert(l_previous->m_items.end(), l_chunk->m_items.begin(),
                                           l_chunk->m_items.end());
                l_previous->m_lastSerial = l_chunk->m_lastSerial;
                l_chunks.erase(l_chunk);
            }
        }
    }
    return true;
}

void ItemSet::FlatToChunked()
{
    auto* lp_chunks = new std::vector<Chunk>(1);
    Chunk& l_chunk = lp_chunks->front();
    l_chunk.m_items.reserve(2 * FlatMax);
    l_chunk.m_items.assign(mp_flat, mp_flat + m_size);
    l_chunk.m_lastSerial = l_chunk.m_items.back()->Serial();
    FreeFlat();
    mp_chunks = lp_chunks;
    m_capacity = Chunked;
}

void ItemSet::ChunkedToFlat()
{
    std::vector<Item*> l_items(begin(), end());
    AssignSorted(l_items);
}

bool ItemSet::contains(Item* ip_item) const
{
    if (!ip_item || m_size == 0)
        return false;
    if (m_capacity == 0)
        return mp_one == ip_item;
    std::uint64_t const l_serial = ip_item->Serial();
    if (IsFlat())
    {
        Item** lp_at = LowerBound(mp_flat, mp_flat + m_size, l_serial);
        return lp_at != mp_flat + m_size && *lp_at == ip_item;
    }
    auto l_chunk = std::lower_bound(mp_chunks->begin(), mp_chunks->end(), l_serial,
                                    [](Chunk const& i_chunk, std::uint64_t i_key)
                                    { return i_chunk.m_lastSerial < i_key; });
    if (l_chunk == mp_chunks->end())
        return false;
    auto l_at = std::lower_bound(l_chunk->m_items.begin(), l_chunk->m_items.end(), l_serial,
                                 [](Item const* ip_member, std::uint64_t i_key)
                                 { return ip_member->Serial() < i_key; });
    return l_at != l_chunk->m_items.end() && *l_at == ip_item;
}

bool ItemSet::operator==(ItemSet const& i_other) const
{
    return m_size == i_other.m_size && std::equal(begin(), end(), i_other.begin());
}

void ItemSet::Add(ItemSet const& i_other)
{
    if (i_other.empty() || this == &i_other)
        return;
    // A few items go in one by one; otherwise merge both in one pass.
    if (i_other.size() * 16 <= size())
    {
        for (Item* lp_item : i_other)
            insert(lp_item);
        return;
    }
    std::vector<Item*> l_merged;
    l_merged.reserve(size() + i_other.size());
    std::set_union(begin(), end(), i_other.begin(), i_other.end(), std::back_inserter(l_merged),
                   SerialLess);
    AssignSorted(l_merged);
}

ItemSet ItemSet::operator+(ItemSet i_other) const
{
    i_other.Add(*this);
    return i_other;
}

ItemSet ItemSet::Common(ItemSet const& i_other) const
{
    std::vector<Item*> l_common;
    auto l_mine = begin();
    auto l_theirs = i_other.begin();
    auto const l_mineEnd = end();
    auto const l_theirsEnd = i_other.end();
    while (l_mine != l_mineEnd && l_theirs != l_theirsEnd)
    {
        if (*l_mine == *l_theirs)
        {
            l_common.push_back(*l_mine);
            ++l_mine;
            ++l_theirs;
        }
        else if (SerialLess(*l_mine, *l_theirs))
            ++l_mine;
        else
            ++l_theirs;
    }
    ItemSet l_result;
    l_result.AssignSorted(l_common);
    return l_result;
}

ItemSet::operator ItemPtr() const
{
    CrashAssert(m_size <= 1);
    return m_size ? ItemPtr(front()) : ItemPtr();
}

ItemSet ItemSet::Connected(ItemSet const& i_other) const
{
    bool const l_walkThis = size() < i_other.size();
    ItemSet const& l_walked = l_walkThis ? *this : i_other;
    ItemSet const& l_looked = l_walkThis ? i_other : *this;
    std::vector<Item*> l_found;
    for (Item* lp_item : l_walked)
        for (Item::Connection const& l_group : lp_item->Connections())
            for (Item* lp_connected : l_group.m_items)
                if (l_looked.contains(lp_connected))
                    l_found.push_back(l_walkThis ? lp_item : lp_connected);
    return ItemSet(std::move(l_found));
}

ItemSet ItemSet::NotConnected(ItemSet const& i_other) const
{
    std::vector<Item*> l_kept;
    for (Item* lp_item : *this)
    {
        bool l_connected = false;
        for (Item::Connection const& l_group : lp_item->Connections())
        {
            for (Item* lp_connected : l_group.m_items)
                if (i_other.contains(lp_connected))
                {
                    l_connected = true;
                    break;
                }
            if (l_connected)
                break;
        }
        if (!l_connected)
            l_kept.push_back(lp_item);
    }
    ItemSet l_result;
    l_result.AssignSorted(l_kept);
    return l_result;
}

ItemSet ItemSet::Connected(ItemPtr i_item) const
{
    return i_item ? Connected(ItemSet(i_item)) : ItemSet();
}

ItemSet ItemSet::NotConnected(ItemPtr i_item) const
{
    return i_item ? NotConnected(ItemSet(i_item)) : ItemSet();
}

ItemSet ItemSet::Connected(std::string_view i_type) const
{
    Type* lp_type = d.GetType(i_type);
    std::vector<Item*> l_kept;
    for (Item* lp_item : *this)
        if (lp_item->IsConnected(lp_type))
            l_kept.push_back(lp_item);
    ItemSet l_result;
    l_result.AssignSorted(l_kept);
    return l_result;
}

ItemSet ItemSet::NotConnected(std::string_view i_type) const
{
    Type* lp_type = d.GetType(i_type);
    std::vector<Item*> l_kept;
    for (Item* lp_item : *this)
        if (!lp_item->IsConnected(lp_type))
            l_kept.push_back(lp_item);
    ItemSet l_result;
    l_result.AssignSorted(l_kept);
    return l_result;
}

ItemSet ItemSet::Connected(std::string_view i_type, Value const& i_value) const
{
    return Connected(d.GetType(i_type)->HasItem(i_value));
}

ItemSet ItemSet::NotConnected(std::string_view i_type, Value const& i_value) const
{
    return NotConnected(d.GetType(i_type)->HasItem(i_value));
}

ItemSet ItemSet::GetItems(std::string_view i_type) const
{
    Type* lp_type = d.GetType(i_type);
    std::vector<Item*> l_found;
    for (Item* lp_item : *this)
        if (ItemSet const* lp_group = lp_item->ConnectedItems(lp_type))
            l_found.insert(l_found.end(), lp_group->begin(), lp_group->end());
    return ItemSet(std::move(l_found));
}

void ItemSet::Disconnect(std::string_view i_type) const
{
    d.GetType(i_type);
    Data::Operation l_operation(&d);
    ItemSet const l_copy(*this);
    for (Item* lp_item : l_copy)
        if (!lp_item->IsRemoved())
            lp_item->Disconnect(i_type);
}

void ItemSet::Remove() const
{
    Data::Operation l_operation(&d);
    ItemSet const l_copy(*this);
    for (Item* lp_item : l_copy)
        lp_item->Remove();
}

template <typename Key> std::list<Item*> ItemSet::SortBy(Key i_key, bool i_ascending) const
{
    using KeyType = typename std::invoke_result_t<Key, Item*>::value_type;
    std::map<KeyType, std::vector<Item*>> l_groups;
    for (Item* lp_item : *this)
        if (auto l_key = i_key(lp_item))
            l_groups[*l_key].push_back(lp_item);
    std::list<Item*> l_sorted;
    for (auto const& l_group : l_groups)
        for (Item* lp_item : l_group.second)
        {
            if (i_ascending)
                l_sorted.push_back(lp_item);
            else
                l_sorted.push_front(lp_item);
        }
    return l_sorted;
}

std::list<Item*> ItemSet::SortAlphabetic(bool i_ascending) const
{
    return SortBy([](Item* ip_item) { return std::optional<std::string_view>(ip_item->Value()); },
                  i_ascending);
}

std::list<Item*> ItemSet::SortNumeric(bool i_ascending) const
{
    return SortBy([](Item* ip_item) { return std::optional<long long>(ip_item->AsInt64()); },
                  i_ascending);
}

std::list<Item*> ItemSet::SortAlphabeticBy(std::string_view i_type, bool i_ascending) const
{
    Type* lp_type = d.GetType(i_type);
    return SortBy(
        [lp_type](Item* ip_item) -> std::optional<std::string_view>
        {
            ItemSet const* lp_group = ip_item->ConnectedItems(lp_type);
            if (!lp_group)
                return std::nullopt;
            return std::string_view(lp_group->front()->Value());
        },
        i_ascending);
}

std::list<Item*> ItemSet::SortNumericBy(std::string_view i_type, bool i_ascending) const
{
    Type* lp_type = d.GetType(i_type);
    return SortBy(
        [lp_type](Item* ip_item) -> std::optional<long long>
        {
            ItemSet const* lp_group = ip_item->ConnectedItems(lp_type);
            if (!lp_group)
                return std::nullopt;
            return lp_group->front()->AsInt64();
        },
        i_ascending);
}
