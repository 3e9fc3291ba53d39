#include "ValueIndex.h"

#include "Item.h"

#include <algorithm>
#include <bit>
#include <functional>

std::uint64_t ValueIndex::Hash(std::string_view i_value)
{
    return std::hash<std::string_view>()(i_value);
}

Item* ValueIndex::Find(std::string_view i_value) const
{
    if (m_count == 0)
        return nullptr;
    std::uint64_t const l_hash = Hash(i_value);
    std::size_t const l_mask = m_capacity - 1;
    for (std::size_t l_index = Home(l_hash); m_slots[l_index].mp_item;
         l_index = (l_index + 1) & l_mask)
        if (m_slots[l_index].m_hash == l_hash && m_slots[l_index].mp_item->Value() == i_value)
            return m_slots[l_index].mp_item;
    return nullptr;
}

ValueIndex::Slot* ValueIndex::Probe(std::string_view i_value, std::uint64_t i_hash)
{
    Reserve(1);
    std::size_t const l_mask = m_capacity - 1;
    std::size_t l_index = Home(i_hash);
    while (m_slots[l_index].mp_item &&
           (m_slots[l_index].m_hash != i_hash || m_slots[l_index].mp_item->Value() != i_value))
        l_index = (l_index + 1) & l_mask;
    return &m_slots[l_index];
}

void ValueIndex::Put(Slot* ip_slot, std::uint64_t i_hash, Item* ip_item)
{
    *ip_slot = Slot{i_hash, ip_item};
    ++m_count;
}

void ValueIndex::Reserve(std::size_t i_more)
{
    // At most half full, so that a probe seldom passes more than a slot or two.
    std::size_t const l_needed = 2 * (m_count + i_more);
    if (l_needed > m_capacity)
        Rehash(std::max(MinCapacity, std::bit_ceil(l_needed)));
}

void ValueIndex::Erase(Item* ip_item)
{
    if (m_count == 0)
        return;
    std::size_t const l_mask = m_capacity - 1;
    std::size_t l_hole = Home(Hash(ip_item->Value()));
    while (m_slots[l_hole].mp_item != ip_item)
    {
        if (!m_slots[l_hole].mp_item)
            return;
        l_hole = (l_hole + 1) & l_mask;
    }
    --m_count;
    // Moves back each later entry of the run that may fill the hole, so that no probe stops at
    // an empty slot short of its entry.
    for (std::size_t l_next = (l_hole + 1) & l_mask; m_slots[l_next].mp_item;
         l_next = (l_next + 1) & l_mask)
    {
        std::size_t const l_home = Home(m_slots[l_next].m_hash);
        if (((l_next - l_home) & l_mask) >= ((l_next - l_hole) & l_mask))
        {
            m_slots[l_hole] = m_slots[l_next];
            l_hole = l_next;
        }
    }
    m_slots[l_hole] = Slot{0, nullptr};
    // A type that lost most of its items gives back the memory.
    if (m_capacity > MinCapacity && m_count * 8 < m_capacity)
        Rehash(m_capacity / 2);
}

void ValueIndex::Rehash(std::size_t i_capacity)
{
    std::unique_ptr<Slot[]> l_old = std::move(m_slots);
    std::size_t const l_oldCapacity = m_capacity;
    m_slots = std::make_unique<Slot[]>(i_capacity);
    m_capacity = i_capacity;
    m_shift = 64 - std::countr_zero(i_capacity);
    std::size_t const l_mask = m_capacity - 1;
    for (std::size_t l_index = 0; l_index < l_oldCapacity; ++l_index)
    {
        Slot const& l_slot = l_old[l_index];
        if (!l_slot.mp_item)
            continue;
        std::size_t l_at = Home(l_slot.m_hash);
        while (m_slots[l_at].mp_item)
            l_at = (l_at + 1) & l_mask;
        m_slots[l_at] = l_slot;
    }
}
