#pragma once

#include "ItemSet.h"
#include "RelationInfo.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class Data;
class LoadArena;
class Type;

// Orders items by creation serial: the identity order of the store.
struct ItemLess
{
    bool operator()(Item const* ip_a, Item const* ip_b) const;
};

// Orders types by declaration serial.
struct TypeLess
{
    bool operator()(Type const* ip_a, Type const* ip_b) const;
};

// One node of the store: its type, its value (fixed for its life) and its connections grouped by
// the type of the connected items.
class Item
{
public:
    // The items of one type connected to this one; a group is never empty.
    struct Connection
    {
        Type* mp_type;
        ItemSet m_items;
    };
    using ConnectionMap = std::map<Type*, ItemSet, TypeLess>;
    using Path = std::vector<Type*>;
    using UniqueItemMap = std::map<Item*, Path, ItemLess>;

    Item(Item const&) = delete;
    Item& operator=(Item const&) = delete;

    Type* GetType() const { return mp_type; }
    std::string const& Value() const { return m_value; }
    // Creation order within the store; the identity order of every set.
    std::uint64_t Serial() const { return m_serial; }
    // True from the start of Remove; the item is freed when the outermost store operation ends.
    bool IsRemoved() const { return m_flags & RemovedFlag; }

    std::string AsString() const { return Value(); }
    char const* AsCStr() const { return Value().c_str(); }
    int AsInt() const;
    unsigned int AsUInt() const;
    long long AsInt64() const;
    unsigned long long AsUInt64() const;
    template <typename T> T* AsPtr() const
    {
        return reinterpret_cast<T*>(static_cast<std::uintptr_t>(AsUInt64()));
    }

    Item* HasItem(std::string_view i_type) const;
    Item* GetItem(std::string_view i_type) const { return HasItem(i_type); }
    Item* NewItem(std::string_view i_type);

    bool IsConnected(Item* ip_other) const;
    bool IsConnected(Type* ip_type) const;
    bool IsConnected(std::string_view i_type) const;
    bool IsDisconnectedFromAll() const { return m_connectionCount == 0; }
    void GetConnectedItems(ConnectionMap& i_result) const;
    // The connection groups, ordered by the declaration order of their types.
    std::span<Connection const> Connections() const { return {mp_connections, m_connectionCount}; }
    // The group of a type, or null when no item of it is connected.
    ItemSet const* ConnectedItems(Type* ip_type) const;

    Item* Connect(Item* ip_other);
    void ConnectThisEnd(Item* ip_other, OneOrMany i_end);
    void Disconnect(Item* ip_other);
    void DisconnectThisEnd(Item* ip_other);
    void Disconnect(std::string_view i_type);
    void Remove();

    void GetItems(std::string_view i_type, ItemSet& i_result) const;
    void GetUniqueToItems(UniqueItemMap& i_result);
    void GetUniqueItems(UniqueItemMap& i_result);
    void GetUniqueItemsFromOrTo(Path i_path, UniqueItemMap& i_result, bool i_toItems);

private:
    friend class Type;
    friend class Data;
    friend class DataSaver;
    friend class ItemLoader;

    static constexpr std::uint8_t RemovedFlag = 1;
    static constexpr std::uint8_t CandidateFlag = 2;
    // The item, or its connection table, lies in a load's arena rather than on the heap.
    static constexpr std::uint8_t ArenaFlag = 4;
    static constexpr std::uint8_t ArenaConnectionsFlag = 8;

    Item(Type* ip_type, std::string_view i_value, std::uint64_t i_serial);
    ~Item();
    // Destroys an item made by new or in an arena.
    static void Free(Item* ip_item);

    // Connect with the relation of the two types looked up already; a copy, since handlers
    // may change the relation tables.
    Item* Connect(Item* ip_other, RelationInfo i_relation);
    Data* GetData() const;
    Connection* FindConnection(Type* ip_type) const;
    ItemSet& ConnectionFor(Type* ip_type);
    void EraseConnection(Connection* ip_connection);
    // Gives an item without connections a table of i_count empty groups cut from the arena, or
    // from the heap when the arena has no room.
    void MakeConnections(std::uint32_t i_count, LoadArena& i_arena);
    // Frees the table, whatever its groups; the caller settles the count.
    void ReleaseConnections();
    void AssertValued() const;

    Type* mp_type;
    std::string m_value;
    std::uint64_t m_serial;
    Connection* mp_connections = nullptr;
    std::uint32_t m_connectionCount = 0;
    std::uint32_t m_connectionCapacity = 0;
    // The id that the last save gave the item, 0 when it left the item out.
    std::uint32_t m_fileId = 0;
    std::uint8_t m_flags = 0;
};
