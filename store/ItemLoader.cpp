#include "ItemLoader.h"

#include <algorithm>

namespace
{
// Marks, in a new item's list of partners, one that the ordinary calls connect: it counts
// towards the item's One ends but is not built in bulk.
constexpr std::uint32_t OrdinaryPartner = 0x80000000U;
} // namespace

ItemLoader::ItemLoader(Data* ip_data, std::vector<Type*> i_types)
    : mp_data(ip_data), mp_outerArena(ip_data->mp_arena), m_operation(ip_data),
      m_types(std::move(i_types))
{
    mp_data->mp_arena = &m_arena;
}

ItemLoader::~ItemLoader()
{
    mp_data->mp_arena = mp_outerArena;
}

void ItemLoader::Expect(std::uint32_t i_type, std::size_t i_count)
{
    Type* lp_type = m_types[i_type];
    if (!lp_type->IsNull())
        lp_type->m_index.Reserve(i_count);
    m_items.reserve(m_items.size() + i_count);
    m_typeOf.reserve(m_typeOf.size() + i_count);
    m_made.reserve(m_made.size() + i_count);
}

void ItemLoader::Prefetch(std::uint32_t i_type, std::string_view i_value) const
{
    Type* lp_type = m_types[i_type];
    if (!lp_type->IsNull())
        lp_type->m_index.Prefetch(ValueIndex::Hash(i_value));
}

void ItemLoader::Add(std::uint32_t i_type, std::string_view i_value)
{
    Type* lp_type = m_types[i_type];
    Item* lp_item = lp_type->IsNull() ? lp_type->NewItem() : lp_type->FindOrCreate(i_value, true);
    bool const l_made = lp_item && lp_item->Serial() > m_lastSerial;
    if (l_made)
        m_lastSerial = lp_item->Serial();
    m_items.push_back(lp_item);
    m_typeOf.push_back(i_type);
    m_made.push_back(l_made);
}

void ItemLoader::Connect(Pairs const& i_pairs)
{
    if (ConnectQuietly(i_pairs))
        return;
    for (auto const& [l_first, l_second] : i_pairs)
    {
        Item* lp_first = m_items[l_first];
        Item* lp_second = m_items[l_second];
        // Two records may name one item (equal values of a type).
        if (!lp_first || !lp_second || lp_first == lp_second || lp_first->IsRemoved() ||
            lp_second->IsRemoved())
            continue;
        lp_first->Connect(lp_second);
    }
}

bool ItemLoader::IsQuiet(Type* ip_a, Type* ip_b) const
{
    auto const l_heard = [](Data::PairHandlers const& i_table, Type* ip_first, Type* ip_second)
    {
        auto l_found = i_table.find(Data::TypePair(ip_first, ip_second));
        return l_found != i_table.end() && l_found->second->IsHeard();
    };
    for (Data::PairHandlers const* lp_table :
         {&mp_data->m_connectionEventHandlers, &mp_data->m_disconnectionEventHandlers})
        if (l_heard(*lp_table, ip_a, ip_b) || l_heard(*lp_table, ip_b, ip_a))
            return false;
    return !ip_a->m_connectionEvent.IsHeard() && !ip_a->m_disconnectionEvent.IsHeard() &&
           !ip_b->m_connectionEvent.IsHeard() && !ip_b->m_disconnectionEvent.IsHeard();
}

bool ItemLoader::ConnectQuietly(Pairs const& i_pairs)
{
    if (mp_data->m_connectionEvent.IsHeard() || mp_data->m_disconnectionEvent.IsHeard())
        return false;
    std::size_t const l_typeCount = m_types.size();
    std::vector<char> l_quiet(l_typeCount * l_typeCount);
    for (std::size_t l_a = 0; l_a < l_typeCount; ++l_a)
        for (std::size_t l_b = 0; l_b < l_typeCount; ++l_b)
            // A type related to itself holds the two ends of one relation: left to the ordinary
            // calls.
            l_quiet[l_a * l_typeCount + l_b] = l_a != l_b &&
                                               m_types[l_a]->IsRelated(m_types[l_b]) &&
                                               IsQuiet(m_types[l_a], m_types[l_b]);

    // A new item holds nothing yet, so its groups can be built at once; connections that touch
    // an item the store held before go through the ordinary calls, after the bulk, which no one
    // can tell from their order in the file since no one hears of them. The items are read
    // once here, in record order, rather than at every pair.
    enum class State : char
    {
        Gone,
        Held,
        New
    };
    using enum State;
    std::size_t const l_count = m_items.size();
    std::vector<State> l_states(l_count, Gone);
    for (std::size_t l_index = 0; l_index < l_count; ++l_index)
    {
        Item* lp_item = m_items[l_index];
        if (lp_item && !lp_item->IsRemoved())
            l_states[l_index] = m_made[l_index] && lp_item->m_connectionCount == 0 ? New : Held;
    }
    // Whether a pair is connected in bulk, and whether at all; records that name one item are
    // never both new.
    auto const l_isBulk = [&](std::uint32_t i_first, std::uint32_t i_second)
    { return l_states[i_first] == New && l_states[i_second] == New; };
    auto const l_usable = [&](std::uint32_t i_first, std::uint32_t i_second)
    {
        return l_states[i_first] != Gone && l_states[i_second] != Gone &&
               (l_isBulk(i_first, i_second) || m_items[i_first] != m_items[i_second]);
    };

    // Each new item's partners, as record indexes, in one array (offsets by record).
    std::vector<std::uint32_t> l_offsets(l_count + 1);
    for (auto const& [l_first, l_second] : i_pairs)
    {
        if (!l_usable(l_first, l_second))
            continue;
        if (!l_quiet[m_typeOf[l_first] * l_typeCount + m_typeOf[l_second]])
            return false;
        l_offsets[l_first + 1] += l_states[l_first] == New;
        l_offsets[l_second + 1] += l_states[l_second] == New;
    }
    for (std::size_t l_index = 0; l_index < l_count; ++l_index)
        l_offsets[l_index + 1] += l_offsets[l_index];
    std::vector<std::uint32_t> l_partners(l_offsets[l_count]);
    std::vector<std::uint32_t> l_fill(l_offsets.begin(), l_offsets.end() - 1);
    bool l_hasBulk = false;
    bool l_hasOrdinary = false;
    for (auto const& [l_first, l_second] : i_pairs)
    {
        if (!l_usable(l_first, l_second))
            continue;
        bool const l_bulk = l_isBulk(l_first, l_second);
        l_hasBulk |= l_bulk;
        l_hasOrdinary |= !l_bulk;
        std::uint32_t const l_mark = l_bulk ? 0 : OrdinaryPartner;
        if (l_states[l_first] == New)
            l_partners[l_fill[l_first]++] = l_second | l_mark;
        if (l_states[l_second] == New)
            l_partners[l_fill[l_second]++] = l_first | l_mark;
    }

    // A One end of a new item given two partners would replace the first: the ordinary calls
    // do that, in the file's order.
    std::vector<std::uint32_t> l_perType(l_typeCount);
    for (std::size_t l_index = 0; l_index < l_count; ++l_index)
    {
        std::uint32_t const* lp_begin = l_partners.data() + l_offsets[l_index];
        std::uint32_t const* lp_end = l_partners.data() + l_offsets[l_index + 1];
        if (lp_end - lp_begin < 2)
            continue;
        Type* lp_type = m_types[m_typeOf[l_index]];
        for (std::uint32_t const* lp_at = lp_begin; lp_at != lp_end; ++lp_at)
        {
            std::uint32_t const l_partnerType = m_typeOf[*lp_at & ~OrdinaryPartner];
            if (++l_perType[l_partnerType] == 2 &&
                lp_type->Relation(m_types[l_partnerType]).otherEnd == One)
                return false;
        }
        for (std::uint32_t const* lp_at = lp_begin; lp_at != lp_end; ++lp_at)
            l_perType[m_typeOf[*lp_at & ~OrdinaryPartner]] = 0;
    }

    for (std::size_t l_index = 0; l_index < l_count; ++l_index)
        if (l_offsets[l_index] != l_offsets[l_index + 1])
            BuildGroups(m_items[l_index], l_partners.data() + l_offsets[l_index],
                        l_partners.data() + l_offsets[l_index + 1]);
    if (l_hasBulk)
        mp_data->CountChange();
    if (l_hasOrdinary)
        for (auto const& [l_first, l_second] : i_pairs)
            if (l_usable(l_first, l_second) && !l_isBulk(l_first, l_second))
                m_items[l_first]->Connect(m_items[l_second]);
    return true;
}

void ItemLoader::BuildGroups(Item* ip_item, std::uint32_t* ip_partners, std::uint32_t* ip_end)
{
    ip_end =
        std::remove_if(ip_partners, ip_end,
                       [](std::uint32_t i_partner) { return (i_partner & OrdinaryPartner) != 0; });
    // New items' serials follow their records, so record order is the sets' order; a pair
    // given both ways names a partner twice.
    if (std::adjacent_find(ip_partners, ip_end, std::greater_equal<>()) != ip_end)
    {
        std::sort(ip_partners, ip_end);
        ip_end = std::unique(ip_partners, ip_end);
    }
    std::vector<Type*>& l_groupTypes = m_groupTypes;
    l_groupTypes.clear();
    for (std::uint32_t const* lp_at = ip_partners; lp_at != ip_end; ++lp_at)
    {
        Type* lp_type = m_types[m_typeOf[*lp_at]];
        if (std::find(l_groupTypes.begin(), l_groupTypes.end(), lp_type) == l_groupTypes.end())
            l_groupTypes.push_back(lp_type);
    }
    if (l_groupTypes.empty())
        return;
    std::sort(l_groupTypes.begin(), l_groupTypes.end(), TypeLess());

    ip_item->MakeConnections(static_cast<std::uint32_t>(l_groupTypes.size()), m_arena);
    ip_item->m_connectionCount = ip_item->m_connectionCapacity;
    std::vector<Item*>& l_members = m_members;
    for (std::size_t l_group = 0; l_group < l_groupTypes.size(); ++l_group)
    {
        l_members.clear();
        for (std::uint32_t const* lp_at = ip_partners; lp_at != ip_end; ++lp_at)
            if (m_types[m_typeOf[*lp_at]] == l_groupTypes[l_group])
                l_members.push_back(m_items[*lp_at]);
        ip_item->mp_connections[l_group].mp_type = l_groupTypes[l_group];
        ip_item->mp_connections[l_group].m_items.AssignSorted(l_members, &m_arena);
    }
}
