#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

class Item;

// A valued type's items by value: an open-addressing hash table whose slots hold an item and
// the hash of its value, so that a probe compares values only where the hashes agree and the
// table grows without reading the items. One probe finds an item or the slot for a new one.
class ValueIndex
{
public:
    struct Slot
    {
        std::uint64_t m_hash;
        Item* mp_item;
    };

    ValueIndex() = default;
    ValueIndex(ValueIndex const&) = delete;
    ValueIndex& operator=(ValueIndex const&) = delete;

    static std::uint64_t Hash(std::string_view i_value);

    std::size_t size() const { return m_count; }
    Item* Find(std::string_view i_value) const;
    // The slot of the value: its item, or an empty slot where Put places a new item. Valid until
    // the next change of the index.
    Slot* Probe(std::string_view i_value, std::uint64_t i_hash);
    // Starts reading the slot where a probe of the hash begins, so that a probe soon after finds
    // it cached rather than waiting on memory.
    void Prefetch(std::uint64_t i_hash) const
    {
        if (m_slots)
            __builtin_prefetch(&m_slots[Home(i_hash)]);
    }
    // Fills the empty slot that Probe gave.
    void Put(Slot* ip_slot, std::uint64_t i_hash, Item* ip_item);
    void Erase(Item* ip_item);
    // Makes room for i_more further items without growing on the way.
    void Reserve(std::size_t i_more);

private:
    static constexpr std::size_t MinCapacity = 8;

    std::size_t Home(std::uint64_t i_hash) const
    {
        return static_cast<std::size_t>((i_hash * 0x9E3779B97F4A7C15ULL) >> m_shift);
    }
    void Rehash(std::size_t i_capacity);

    std::unique_ptr<Slot[]> m_slots;
    std::size_t m_capacity = 0;
    std::size_t m_count = 0;
    int m_shift = 64;
};
