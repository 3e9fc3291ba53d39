#pragma once

#include "ConnectionInfo.h"
#include "DataHandler.h"
#include "Event.h"
#include "EventHandler.h"
#include "Item.h"
#include "ItemPtr.h"
#include "ItemSet.h"
#include "PathNode.h"
#include "RelationInfo.h"
#include "StoreExceptions.h"
#include "Type.h"
#include "Value.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class LoadArena;

// Stops the process when the condition is false: the store's reaction to misuse.
void CrashAssert(bool i_condition);
// Test-only: with false, CrashAssert returns instead of aborting, so that tests can check the
// exception that follows it. Never called by the program.
void SetCrashAssertAborts(bool i_aborts);

// The typed graph store: types by name, their items, connections, events, path subscriptions
// and the collector. One instance, the global d.
class Data : public DataHandler
{
public:
    struct StringHash
    {
        using is_transparent = void;
        std::size_t operator()(std::string_view i_text) const
        {
            return std::hash<std::string_view>()(i_text);
        }
    };
    using TypeTable = std::unordered_map<std::string, Type*, StringHash, std::equal_to<>>;
    using TypePair = std::pair<Type*, Type*>;
    struct TypePairLess
    {
        bool operator()(TypePair const& i_a, TypePair const& i_b) const;
    };

    // One link of a registered path.
    struct PathNodePairInfo
    {
        PathNode* mp_parent = nullptr;
        PathNode* mp_child = nullptr;
        PathNodeRelation m_relation = RequireConnected;
    };
    using PathNodePairs = std::map<TypePair, PathNodePairInfo, TypePairLess>;

    // One registered path subscription; owns its handler and its path.
    struct PathNodeHandlerInfo
    {
        PathNodePairs m_pairs;
        EventHandlerBase<Item*>* mp_handler = nullptr;
        PathNode* mp_root = nullptr;
        std::uint64_t m_serial = 0;
        bool m_withdrawn = false;
    };

    Event<Type*> m_typeAddedEvent;
    Event<Type*> m_typeRemovedEvent;
    Event<Item*> m_itemAddedEvent;
    Event<Item*> m_itemRemovedEvent;
    Event<ConnectionInfo> m_connectionEvent;
    Event<ConnectionInfo> m_disconnectionEvent;

    Data();
    ~Data() override;

    Type* NewType(std::string_view i_name, bool i_isPrimary, bool i_isNull, bool i_autoCreate);
    Type* GetType(std::string_view i_name) const;
    Type* operator[](std::string_view i_name) const { return GetType(i_name); }
    Type* HasType(std::string_view i_name) const;
    void GetTypes(TypeTable& i_result) const;
    // Every type in declaration order.
    std::vector<Type*> const& Types() const { return m_typeOrder; }
    void RemoveAllItems();
    // Grows whenever a type is declared or removed, an item made or removed, or a connection made
    // or dropped, and never otherwise: equal counts mean that none of these changed.
    std::uint64_t ChangeCount() const { return m_changeCount; }

    // Handlers of every connection (or disconnection) between items of two related types; they
    // receive (the item of A, the item of B).
    void AddConnectionEventHandler(Type* ip_a, Type* ip_b,
                                   EventHandlerBase<ConnectionInfo&>* ip_handler);
    void AddDisconnectionEventHandler(Type* ip_a, Type* ip_b,
                                      EventHandlerBase<ConnectionInfo&>* ip_handler);
    void NotifyConnectionEventHandlers(Item* ip_a, Item* ip_b);
    void NotifyDisconnectionEventHandlers(Item* ip_a, Item* ip_b);

    // Path subscriptions; the store takes ownership of the path and the handler.
    void AddPathEventHandler(PathNode* ip_root, EventHandlerBase<Item*>* ip_handler);
    void RemovePathEventHandler(PathNodeHandlerInfo* ip_info);
    void GetPathNodePairs(PathNode* ip_node, PathNodePairs& i_result);
    void OnPathNodeEventConnection(ConnectionInfo& i_info);
    void OnPathNodeEventDisconnection(ConnectionInfo& i_info);
    bool VerifyPathNodeSubNodeConnections(Item* ip_item, PathNode* ip_node, PathNode* ip_skipped);
    bool VerifyPathNodeParentNodeConnections(Item* ip_item, PathNode* ip_node, PathNode* ip_skipped,
                                             Item*& i_root);

    // Set queries.
    ItemSet GetItems(ItemSet const& i_items, std::string_view i_type);
    ItemSet GetItemSubset(ItemSet i_items, std::string_view i_type);
    ItemSet GetItems(ItemPtr i_a, ItemPtr i_b, std::string_view i_type);
    ItemPtr GetItem(ItemSet i_items, std::string_view i_type);
    ItemPtr GetItem(ItemPtr i_a, ItemPtr i_b, std::string_view i_type);

    // The collector: removes what no primary item reaches and what lost its owner.
    int RemoveDisconnectedItems();
    void GetTypeOwningTypes(Type* ip_type, std::set<Type*, TypeLess>& i_result);
    void MarkItemConnections(Item* ip_item, std::vector<Type*>& i_pathTypes);

private:
    friend class Item;
    friend class Type;
    friend class ItemSet;
    friend class ItemLoader;

    // Every store operation that notifies or walks holds one; removed items, types and path
    // subscriptions are freed when the outermost one ends, so no walk touches freed memory.
    class Operation
    {
    public:
        explicit Operation(Data* ip_data) : mp_data(ip_data) { ++mp_data->m_depth; }
        ~Operation()
        {
            if (--mp_data->m_depth == 0 && mp_data->m_hasDead)
                mp_data->FreeDead();
        }
        Operation(Operation const&) = delete;
        Operation& operator=(Operation const&) = delete;

    private:
        Data* mp_data;
    };

    using PairHandlers = std::map<TypePair, Event<ConnectionInfo&>*, TypePairLess>;
    struct SubscriptionLess
    {
        bool operator()(PathNodeHandlerInfo const* ip_a, PathNodeHandlerInfo const* ip_b) const
        {
            return ip_a->m_serial < ip_b->m_serial;
        }
    };
    using Subscriptions =
        std::map<TypePair, std::set<PathNodeHandlerInfo*, SubscriptionLess>, TypePairLess>;
    using Listeners = std::map<TypePair, EventHandler<Data, ConnectionInfo&>*, TypePairLess>;

    std::uint64_t NextItemSerial() { return m_nextItemSerial++; }
    void CountChange() { ++m_changeCount; }
    void Bury(Item* ip_item);
    // Takes a removed type out of every table; it is freed with the dead items.
    void ForgetType(Type* ip_type);
    void FreeDead();
    void AddPairHandler(PairHandlers& i_table, Type* ip_a, Type* ip_b,
                        EventHandlerBase<ConnectionInfo&>* ip_handler);
    void NotifyPairHandlers(PairHandlers& i_table, Item* ip_a, Item* ip_b);
    void Subscribe(Subscriptions& i_subscriptions, Listeners& i_listeners,
                   PairHandlers& i_pairHandlers, TypePair const& i_pair,
                   PathNodeHandlerInfo* ip_info, bool i_connection);
    void Unsubscribe(Subscriptions& i_subscriptions, Listeners& i_listeners, TypePair const& i_pair,
                     PathNodeHandlerInfo* ip_info);
    void OnPathNodeEvent(Subscriptions& i_subscriptions, ConnectionInfo& i_info);
    using SerialItem = std::pair<std::uint64_t, Item*>;
    void RemoveInIdentityOrder(std::vector<SerialItem>& i_items, int& i_count);
    static void SortBySerial(std::vector<SerialItem>& i_items);

    TypeTable m_types;
    std::vector<Type*> m_typeOrder;
    PairHandlers m_connectionEventHandlers;
    PairHandlers m_disconnectionEventHandlers;
    Subscriptions m_connectionSubscriptions;
    Listeners m_connectionListeners;
    Subscriptions m_disconnectionSubscriptions;
    Listeners m_disconnectionListeners;
    std::set<PathNodeHandlerInfo*, SubscriptionLess> m_pathSubscriptions;

    // While a data-file load runs, the arena that its items come from.
    LoadArena* mp_arena = nullptr;
    std::uint64_t m_nextItemSerial = 1;
    std::uint64_t m_nextTypeSerial = 1;
    std::uint64_t m_nextSubscriptionSerial = 1;
    std::uint64_t m_changeCount = 0;
    int m_depth = 0;
    bool m_hasDead = false;
    std::vector<Item*> m_deadItems;
    std::vector<Type*> m_deadTypes;
    std::vector<PathNodeHandlerInfo*> m_deadSubscriptions;
    std::vector<Event<ConnectionInfo&>*> m_deadPairHandlers;
};

extern Data d;

// Every item of the named type.
ItemSet g(std::string_view i_type);
// The item of the named type and value as Type::GetItem gives it: created when the type creates
// on lookup, else null when absent.
ItemPtr i(std::string_view i_type, Value const& i_value);
