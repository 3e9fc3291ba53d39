#include "Item.h"

#include "Data.h"
#include "LoadArena.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <new>

bool ItemLess::operator()(Item const* ip_a, Item const* ip_b) const
{
    return ip_a->Serial() < ip_b->Serial();
}

bool TypeLess::operator()(Type const* ip_a, Type const* ip_b) const
{
    return ip_a->Serial() < ip_b->Serial();
}

Item::Item(Type* ip_type, std::string_view i_value, std::uint64_t i_serial)
    : mp_type(ip_type), m_value(i_value), m_serial(i_serial)
{
}

Item::~Item()
{
    ReleaseConnections();
}

void Item::Free(Item* ip_item)
{
    if (!(ip_item->m_flags & ArenaFlag))
    {
        delete ip_item;
        return;
    }
    ip_item->~Item();
    LoadArena::Give(ip_item, sizeof(Item));
}

void Item::MakeConnections(std::uint32_t i_count, LoadArena& i_arena)
{
    void* lp_memory = i_arena.Take(i_count * sizeof(Connection));
    if (lp_memory)
    {
        auto* lp_table = static_cast<Connection*>(lp_memory);
        std::uninitialized_value_construct_n(lp_table, i_count);
        mp_connections = lp_table;
        m_flags |= ArenaConnectionsFlag;
    }
    else
        mp_connections = new Connection[i_count];
    m_connectionCapacity = i_count;
}

void Item::ReleaseConnections()
{
    if (m_flags & ArenaConnectionsFlag)
    {
        std::destroy_n(mp_connections, m_connectionCapacity);
        LoadArena::Give(mp_connections, m_connectionCapacity * sizeof(Connection));
        m_flags &= ~ArenaConnectionsFlag;
    }
    else
        delete[] mp_connections;
    mp_connections = nullptr;
    m_connectionCapacity = 0;
}

Data* Item::GetData() const
{
    return mp_type->GetData();
}

void Item::AssertValued() const
{
    CrashAssert(!mp_type->IsNull());
}

int Item::AsInt() const
{
    AssertValued();
    long const l_number = std::strtol(AsCStr(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(l_number, INT_MIN, INT_MAX));
}

unsigned int Item::AsUInt() const
{
    AssertValued();
    // Read as a 32-bit strtoul does: out of range gives the maximum, a minus sign negates
    // modulo 2 to the 32nd.
    char const* lp_text = AsCStr();
    while (std::isspace(static_cast<unsigned char>(*lp_text)))
        ++lp_text;
    bool const l_negative = *lp_text == '-';
    errno = 0;
    unsigned long long l_number = std::strtoull(lp_text, nullptr, 10);
    if (errno == ERANGE)
        return UINT_MAX;
    if (l_negative)
        l_number = 0ULL - l_number;
    if (l_number > UINT_MAX)
        return UINT_MAX;
    return l_negative ? 0U - static_cast<unsigned int>(l_number)
                      : static_cast<unsigned int>(l_number);
}

long long Item::AsInt64() const
{
    AssertValued();
    return std::strtoll(AsCStr(), nullptr, 10);
}

unsigned long long Item::AsUInt64() const
{
    AssertValued();
    return std::strtoull(AsCStr(), nullptr, 10);
}

Item::Connection* Item::FindConnection(Type* ip_type) const
{
    Connection* lp_end = mp_connections + m_connectionCount;
    Connection* lp_at = std::lower_bound(mp_connections, lp_end, ip_type->Serial(),
                                         [](Connection const& i_connection, std::uint64_t i_key)
                                         { return i_connection.mp_type->Serial() < i_key; });
    return lp_at != lp_end && lp_at->mp_type == ip_type ? lp_at : nullptr;
}

ItemSet const* Item::ConnectedItems(Type* ip_type) const
{
    Connection const* lp_connection = FindConnection(ip_type);
    return lp_connection ? &lp_connection->m_items : nullptr;
}

ItemSet& Item::ConnectionFor(Type* ip_type)
{
    Connection* lp_end = mp_connections + m_connectionCount;
    Connection* lp_at = std::lower_bound(mp_connections, lp_end, ip_type->Serial(),
                                         [](Connection const& i_connection, std::uint64_t i_key)
                                         { return i_connection.mp_type->Serial() < i_key; });
    if (lp_at != lp_end && lp_at->mp_type == ip_type)
        return lp_at->m_items;
    std::size_t const l_index = lp_at - mp_connections;
    if (m_connectionCount == m_connectionCapacity)
    {
        // Most items hold two groups or more: start with room for two.
        std::uint32_t const l_capacity = m_connectionCapacity ? m_connectionCapacity * 2 : 2;
        Connection* lp_grown = new Connection[l_capacity];
        std::move(mp_connections, mp_connections + m_connectionCount, lp_grown);
        ReleaseConnections();
        mp_connections = lp_grown;
        m_connectionCapacity = l_capacity;
    }
    std::move_backward(mp_connections + l_index, mp_connections + m_connectionCount,
                       mp_connections + m_connectionCount + 1);
    ++m_connectionCount;
    mp_connections[l_index].mp_type = ip_type;
    mp_connections[l_index].m_items = ItemSet();
    return mp_connections[l_index].m_items;
}

void Item::EraseConnection(Connection* ip_connection)
{
    std::move(ip_connection + 1, mp_connections + m_connectionCount, ip_connection);
    --m_connectionCount;
    if (m_connectionCount == 0)
    {
        ReleaseConnections();
        return;
    }
    mp_connections[m_connectionCount].mp_type = nullptr;
    mp_connections[m_connectionCount].m_items = ItemSet();
}

Item* Item::HasItem(std::string_view i_type) const
{
    Type* lp_type = GetData()->GetType(i_type);
    Connection const* lp_connection = FindConnection(lp_type);
    if (!lp_connection)
        return nullptr;
    Item* lp_item = lp_connection->m_items.front();
    CrashAssert(lp_item->mp_type == lp_type);
    return lp_item;
}

Item* Item::NewItem(std::string_view i_type)
{
    Data* lp_data = GetData();
    Type* lp_type = lp_data->GetType(i_type);
    RelationInfo const l_relation = mp_type->Relation(lp_type);
    if (!lp_type->IsNull())
    {
        CrashAssert(false);
        throw new NullTypeException();
    }
    Data::Operation l_operation(lp_data);
    if (l_relation.otherEnd == One)
    {
        if (Connection const* lp_held = FindConnection(lp_type))
            return lp_held->m_items.front();
    }
    Item* lp_item = l_relation.otherEnd == One && l_relation.thisEnd == Many
                        ? lp_type->GetGlobalNullItem()
                        : lp_type->NewItem();
    if (lp_item)
        Connect(lp_item);
    return lp_item;
}

bool Item::IsConnected(Item* ip_other) const
{
    Connection const* lp_connection = FindConnection(ip_other->mp_type);
    return lp_connection && lp_connection->m_items.contains(ip_other);
}

bool Item::IsConnected(Type* ip_type) const
{
    return FindConnection(ip_type) != nullptr;
}

bool Item::IsConnected(std::string_view i_type) const
{
    return IsConnected(GetData()->GetType(i_type));
}

void Item::GetConnectedItems(ConnectionMap& i_result) const
{
    i_result.clear();
    for (Connection const& l_connection : Connections())
        i_result.emplace(l_connection.mp_type, l_connection.m_items);
}

Item* Item::Connect(Item* ip_other)
{
    return Connect(ip_other, mp_type->Relation(ip_other->mp_type));
}

Item* Item::Connect(Item* ip_other, RelationInfo i_relation)
{
    Data* lp_data = GetData();
    // Connecting an item that is being removed would leave a pointer to it behind.
    if (IsRemoved() || ip_other->IsRemoved())
    {
        CrashAssert(false);
        return ip_other;
    }
    Connection* lp_mine = FindConnection(ip_other->mp_type);
    if (lp_mine && lp_mine->m_items.contains(ip_other))
        return ip_other;

    Data::Operation l_operation(lp_data);
    if ((i_relation.otherEnd == One && lp_mine) ||
        (i_relation.thisEnd == One && ip_other->FindConnection(mp_type)))
    {
        // A One end lets its partner go first, with that disconnection's events.
        ConnectThisEnd(ip_other, i_relation.otherEnd);
        ip_other->ConnectThisEnd(this, i_relation.thisEnd);
        // The handlers of a replaced partner's disconnection may have removed either item or
        // dropped the half-made connection; settle both ends before anyone hears of it.
        if (IsRemoved() || ip_other->IsRemoved())
        {
            DisconnectThisEnd(ip_other);
            ip_other->DisconnectThisEnd(this);
            return ip_other;
        }
        ConnectionFor(ip_other->mp_type).insert(ip_other);
    }
    else
        (lp_mine ? lp_mine->m_items : ConnectionFor(ip_other->mp_type)).insert(ip_other);
    ip_other->ConnectionFor(mp_type).insert(this);
    lp_data->CountChange();

    ConnectionInfo const l_forward{this, ip_other};
    ConnectionInfo const l_backward{ip_other, this};
    ConnectionInfo l_info = l_forward;
    mp_type->m_connectionEvent.Notify(l_info);
    l_info = l_forward;
    lp_data->m_connectionEvent.Notify(l_info);
    l_info = l_backward;
    ip_other->mp_type->m_connectionEvent.Notify(l_info);
    lp_data->NotifyConnectionEventHandlers(this, ip_other);
    return ip_other;
}

void Item::ConnectThisEnd(Item* ip_other, OneOrMany i_end)
{
    if (i_end == One)
    {
        // A One end holds a single partner: the old one is dropped first, with its events.
        for (;;)
        {
            Connection const* lp_connection = FindConnection(ip_other->mp_type);
            if (!lp_connection)
                break;
            Item* lp_old = nullptr;
            for (Item* lp_held : lp_connection->m_items)
                if (lp_held != ip_other)
                {
                    lp_old = lp_held;
                    break;
                }
            if (!lp_old)
                break;
            Disconnect(lp_old);
        }
    }
    if (IsRemoved() || ip_other->IsRemoved())
        return;
    ConnectionFor(ip_other->mp_type).insert(ip_other);
}

void Item::Disconnect(Item* ip_other)
{
    Data* lp_data = GetData();
    Data::Operation l_operation(lp_data);
    DisconnectThisEnd(ip_other);
    ip_other->DisconnectThisEnd(this);

    ConnectionInfo const l_forward{this, ip_other};
    ConnectionInfo const l_backward{ip_other, this};
    ConnectionInfo l_info = l_forward;
    mp_type->m_disconnectionEvent.Notify(l_info);
    l_info = l_forward;
    lp_data->m_disconnectionEvent.Notify(l_info);
    l_info = l_backward;
    ip_other->mp_type->m_disconnectionEvent.Notify(l_info);
    lp_data->NotifyDisconnectionEventHandlers(this, ip_other);
}

void Item::DisconnectThisEnd(Item* ip_other)
{
    Connection* lp_connection = FindConnection(ip_other->mp_type);
    if (!lp_connection || !lp_connection->m_items.erase(ip_other))
        return;
    GetData()->CountChange();
    if (lp_connection->m_items.empty())
        EraseConnection(lp_connection);
}

void Item::Disconnect(std::string_view i_type)
{
    Data* lp_data = GetData();
    Type* lp_type = lp_data->GetType(i_type);
    Connection const* lp_connection = FindConnection(lp_type);
    if (!lp_connection)
        return;
    Data::Operation l_operation(lp_data);
    ItemSet const l_copy = lp_connection->m_items;
    // Handlers may drop some of these connections first; each is dropped once.
    for (Item* lp_item : l_copy)
        if (IsConnected(lp_item))
            Disconnect(lp_item);
}

void Item::Remove()
{
    if (IsRemoved())
        return;
    Data* lp_data = GetData();
    Data::Operation l_operation(lp_data);
    m_flags |= RemovedFlag;
    mp_type->TakeOut(this);
    lp_data->Bury(this);
    lp_data->CountChange();

    Item* lp_self = this;
    mp_type->m_itemRemovedEvent.Notify(lp_self);
    lp_data->m_itemRemovedEvent.Notify(lp_self);

    // Connect refuses removed items, so one pass empties the table; handlers may drop some of
    // these connections first, and each is dropped once.
    while (m_connectionCount)
    {
        std::size_t l_count = 0;
        for (Connection const& l_connection : Connections())
            l_count += l_connection.m_items.size();
        // Most items have a few connections: copy them without touching the heap.
        constexpr std::size_t Inline = 16;
        Item* l_inline[Inline];
        std::vector<Item*> l_heap;
        Item** lp_copy = l_inline;
        if (l_count > Inline)
        {
            l_heap.resize(l_count);
            lp_copy = l_heap.data();
        }
        std::size_t l_index = 0;
        for (Connection const& l_connection : Connections())
            for (Item* lp_item : l_connection.m_items)
                lp_copy[l_index++] = lp_item;
        for (l_index = 0; l_index < l_count; ++l_index)
            if (IsConnected(lp_copy[l_index]))
                Disconnect(lp_copy[l_index]);
    }
}

void Item::GetItems(std::string_view i_type, ItemSet& i_result) const
{
    Type* lp_type = GetData()->GetType(i_type);
    mp_type->Relation(lp_type);
    if (Connection const* lp_connection = FindConnection(lp_type))
        i_result.Add(lp_connection->m_items);
}

void Item::GetUniqueToItems(UniqueItemMap& i_result)
{
    GetUniqueItemsFromOrTo(Path(), i_result, false);
    i_result.erase(this);
}

void Item::GetUniqueItems(UniqueItemMap& i_result)
{
    GetUniqueItemsFromOrTo(Path(), i_result, true);
    i_result.erase(this);
}

void Item::GetUniqueItemsFromOrTo(Path i_path, UniqueItemMap& i_result, bool i_toItems)
{
    // A depth-first walk with its own stack, in the order of a recursive one: long chains of
    // items must not exhaust the call stack.
    struct Frame
    {
        Item* mp_item;
        Path m_path;
        std::size_t m_connection;
        ItemSet::const_iterator m_next;
        ItemSet::const_iterator m_end;
        bool m_inGroup;
    };
    std::vector<Frame> l_stack;
    auto l_visit = [&](Item* ip_item, Path i_itemPath)
    {
        i_itemPath.push_back(ip_item->mp_type);
        i_result[ip_item] = i_itemPath;
        l_stack.push_back(Frame{ip_item, std::move(i_itemPath), 0, {}, {}, false});
    };
    l_visit(this, std::move(i_path));
    while (!l_stack.empty())
    {
        Frame& l_frame = l_stack.back();
        if (l_frame.m_inGroup)
        {
            Item* lp_next = nullptr;
            while (l_frame.m_next != l_frame.m_end && !lp_next)
            {
                Item* lp_candidate = *l_frame.m_next++;
                if (!i_result.contains(lp_candidate))
                    lp_next = lp_candidate;
            }
            if (lp_next)
            {
                l_visit(lp_next, l_frame.m_path);
                continue;
            }
            l_frame.m_inGroup = false;
            ++l_frame.m_connection;
            continue;
        }
        Item* lp_item = l_frame.mp_item;
        if (l_frame.m_connection >= lp_item->m_connectionCount)
        {
            l_stack.pop_back();
            continue;
        }
        Connection const& l_group = lp_item->mp_connections[l_frame.m_connection];
        RelationInfo const l_relation = lp_item->mp_type->Relation(l_group.mp_type);
        if (!i_toItems && l_relation.thisEnd == One)
        {
            l_frame.m_next = l_group.m_items.begin();
            l_frame.m_end = l_group.m_items.end();
            l_frame.m_inGroup = true;
            continue;
        }
        ++l_frame.m_connection;
        if (i_toItems && l_relation.otherEnd == One)
        {
            Item* lp_partner = l_group.m_items.front();
            if (!i_result.contains(lp_partner))
                l_visit(lp_partner, l_frame.m_path);
        }
    }
}
