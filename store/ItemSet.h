#pragma once

#include "ItemPtr.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <span>
#include <string_view>
#include <vector>

class Item;
class LoadArena;
class Value;

// An ordered set of items without duplicates, ordered by the items' creation serial, so that its
// order is the same from run to run. A value: copying copies the pointers, never the items.
//
// Storage grows with the set: one member is held inline, a few in one sorted array, many in a
// list of sorted chunks of at most ChunkMax pointers, so that a group of a million members costs
// about eight bytes a member and inserting or erasing one member stays cheap.
class ItemSet
{
    struct Chunk
    {
        std::uint64_t m_lastSerial = 0;
        std::vector<Item*> m_items;
    };

public:
    class const_iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Item*;
        using difference_type = std::ptrdiff_t;
        using pointer = Item* const*;
        using reference = Item* const&;

        const_iterator() = default;
        reference operator*() const { return *mp_current; }
        const_iterator& operator++()
        {
            if (++mp_current == mp_chunkEnd && mp_chunk != mp_lastChunk)
            {
                ++mp_chunk;
                mp_current = mp_chunk->m_items.data();
                mp_chunkEnd = mp_current + mp_chunk->m_items.size();
            }
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator l_before = *this;
            ++*this;
            return l_before;
        }
        bool operator==(const_iterator const& i_other) const
        {
            return mp_current == i_other.mp_current;
        }

    private:
        friend class ItemSet;
        Item* const* mp_current = nullptr;
        Item* const* mp_chunkEnd = nullptr;
        Chunk const* mp_chunk = nullptr;
        Chunk const* mp_lastChunk = nullptr;
    };
    using iterator = const_iterator;
    using value_type = Item*;
    using size_type = std::size_t;

    ItemSet() noexcept : mp_one(nullptr) {}
    explicit ItemSet(Item* ip_item);
    ItemSet(std::initializer_list<Item*> i_items);
    // Takes items in any order, duplicates allowed.
    explicit ItemSet(std::vector<Item*> i_items);
    ItemSet(ItemSet const& i_other);
    ItemSet(ItemSet&& i_other) noexcept;
    ItemSet& operator=(ItemSet const& i_other);
    ItemSet& operator=(ItemSet&& i_other) noexcept;
    ~ItemSet();

    const_iterator begin() const;
    const_iterator end() const;
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    // The first member in serial order; the set must not be empty.
    Item* front() const;
    bool insert(Item* ip_item);
    std::size_t erase(Item* ip_item);
    bool contains(Item* ip_item) const;
    std::size_t count(Item* ip_item) const { return contains(ip_item) ? 1 : 0; }
    void clear();
    bool operator==(ItemSet const& i_other) const;

    // Set algebra.
    void Add(ItemSet const& i_other);
    ItemSet operator+(ItemSet i_other) const;
    ItemSet Common(ItemSet const& i_other) const;
    // The single member, or null for an empty set; two or more members are a programming error.
    operator ItemPtr() const;

    // Connection filters: the members connected (or not) to the given items.
    ItemSet Connected(ItemSet const& i_other) const;
    ItemSet NotConnected(ItemSet const& i_other) const;
    ItemSet Connected(ItemPtr i_item) const;
    ItemSet NotConnected(ItemPtr i_item) const;
    ItemSet Connected(std::string_view i_type) const;
    ItemSet NotConnected(std::string_view i_type) const;
    ItemSet Connected(std::string_view i_type, Value const& i_value) const;
    ItemSet NotConnected(std::string_view i_type, Value const& i_value) const;

    // The union of the members' connected items of a type.
    ItemSet GetItems(std::string_view i_type) const;

    // Bulk changes, walked over a copy in serial order; members removed meanwhile are skipped.
    void Disconnect(std::string_view i_type) const;
    void Remove() const;

    // Sorts; items with equal keys keep serial order (ascending) or its reverse (descending).
    std::list<Item*> SortAlphabetic(bool i_ascending) const;
    std::list<Item*> SortNumeric(bool i_ascending) const;
    std::list<Item*> SortAlphabeticBy(std::string_view i_type, bool i_ascending) const;
    std::list<Item*> SortNumericBy(std::string_view i_type, bool i_ascending) const;

    static constexpr std::size_t ChunkMax = 512;

private:
    friend class ItemLoader;

    static constexpr std::uint32_t FlatMax = 64;
    static constexpr std::uint32_t Chunked = UINT32_MAX;
    // Marks a flat array cut from a load's arena rather than taken from the heap.
    static constexpr std::uint32_t Borrowed = 0x40000000U;

    bool IsFlat() const { return m_capacity != 0 && m_capacity != Chunked; }
    bool IsChunked() const { return m_capacity == Chunked; }
    std::uint32_t FlatCapacity() const { return m_capacity & ~Borrowed; }
    // A flat array cut from i_arena when given and it has room, else from the heap.
    void AssignSorted(std::span<Item* const> i_sorted, LoadArena* ip_arena = nullptr);
    void FreeFlat();
    bool InsertChunked(Item* ip_item);
    bool EraseChunked(Item* ip_item);
    void FlatToChunked();
    void ChunkedToFlat();
    void Release();
    template <typename Key> std::list<Item*> SortBy(Key i_key, bool i_ascending) const;

    std::uint32_t m_size = 0;
    // 0 while at most one member is held inline, Chunked for chunks, else the flat array's size,
    // with Borrowed when it lies in an arena.
    std::uint32_t m_capacity = 0;
    union
    {
        Item* mp_one;
        Item** mp_flat;
        std::vector<Chunk>* mp_chunks;
    };
};
