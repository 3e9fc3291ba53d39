#pragma once

#include "Data.h"
#include "LoadArena.h"

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

// Puts the items and connections of a data file into the store: the same changes, in the same
// order and with the same events as the ordinary calls. Where nobody listens to the connections,
// the connections between the items that the load makes are built in bulk: each item's groups
// and sets sized and filled once. Holds one store operation for its life, so that an item that
// a handler removes stays readable (and is passed over) until the load ends.
class ItemLoader
{
public:
    // Indexes of the records given to Add: the first is connected to the second.
    using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

    // The records' types are given as indexes into i_types.
    ItemLoader(Data* ip_data, std::vector<Type*> i_types);
    ItemLoader(ItemLoader const&) = delete;
    ItemLoader& operator=(ItemLoader const&) = delete;
    ~ItemLoader();

    // Makes room in the type's index for i_count more items.
    void Expect(std::uint32_t i_type, std::size_t i_count);
    // The item of the next record: a valued type's item of that value, made when missing; a new
    // item of a null type.
    void Add(std::uint32_t i_type, std::string_view i_value);
    // Starts reading what an Add of the record will look up; a load that asks for a record a few
    // records ahead of the one it adds waits on memory far less than once per valued item.
    void Prefetch(std::uint32_t i_type, std::string_view i_value) const;
    // Connects the items of each pair, in order, as Item::Connect does; pairs with a missing,
    // removed or single item are passed over.
    void Connect(Pairs const& i_pairs);

private:
    // Whether no handler hears of a connection, or of a replaced partner's disconnection,
    // between items of the two types.
    bool IsQuiet(Type* ip_a, Type* ip_b) const;
    // Makes every connection at once when no handler would hear of any; false, with nothing
    // changed, when some would, or when a One end would replace a partner of a new item.
    bool ConnectQuietly(Pairs const& i_pairs);
    // Builds the groups of a new item from its partners' record indexes.
    void BuildGroups(Item* ip_item, std::uint32_t* ip_partners, std::uint32_t* ip_end);

    Data* mp_data;
    // The items, connection tables and small sets of the load; the store's arena meanwhile.
    LoadArena m_arena;
    LoadArena* mp_outerArena;
    Data::Operation m_operation;
    std::vector<Type*> m_types;
    std::vector<Item*> m_items;
    std::vector<std::uint32_t> m_typeOf;
    // Whether the record made its item, after every item made before it: among such items the
    // records' order is the serial order.
    std::vector<char> m_made;
    std::uint64_t m_lastSerial = 0;
    // Room for one item's groups while they are built.
    std::vector<Type*> m_groupTypes;
    std::vector<Item*> m_members;
};
