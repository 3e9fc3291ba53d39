#pragma once

#include "ConnectionInfo.h"
#include "Event.h"
#include "Item.h"
#include "ItemPtr.h"
#include "ItemSet.h"
#include "RelationInfo.h"
#include "Value.h"
#include "ValueIndex.h"

#include <cstdint>
#include <map>
#include <string>

class Data;

// A named item type: valued (items keyed by their value) or null (valueless items), with its
// relations to other types and its four events.
class Type
{
public:
    using RelationMap = std::map<Type*, RelationInfo, TypeLess>;

    Event<Item*> m_itemAddedEvent;
    Event<Item*> m_itemRemovedEvent;
    Event<ConnectionInfo> m_connectionEvent;
    Event<ConnectionInfo> m_disconnectionEvent;

    Type(Type const&) = delete;
    Type& operator=(Type const&) = delete;

    std::string const& Name() const { return m_name; }
    bool IsPrimary() const { return m_isPrimary; }
    bool IsNull() const { return m_isNull; }
    bool IsAutoCreate() const { return m_autoCreate; }
    // Declaration order within the store.
    std::uint64_t Serial() const { return m_serial; }
    Data* GetData() const { return mp_data; }
    // True once Remove has started; such a type makes no more items.
    bool IsRemoved() const { return m_removed; }

    void RelateToType(Type* ip_other, OneOrMany i_thisEnd, OneOrMany i_otherEnd, bool i_owns);
    void RelateToType(std::string_view i_other, OneOrMany i_thisEnd, OneOrMany i_otherEnd,
                      bool i_owns);
    bool IsRelated(Type* ip_other) const;
    RelationInfo GetRelation(Type* ip_other) const;
    void GetRelatedTypes(RelationMap& i_result) const;

    Item* GetItem(Value const& i_value);
    ItemPtr operator[](Value const& i_value) { return GetItem(i_value); }
    ItemPtr HasItem(Value const& i_value) const;
    Item* NewItem(Value const& i_value);
    Item* NewItem();
    Item* GetGlobalNullItem();
    ItemPtr GetGlobalItem() { return GetGlobalNullItem(); }
    ItemSet GetItems() const;
    void GetItems(ItemSet& i_result) const;
    std::size_t ItemCount() const;
    // Every item of the type in serial order.
    ItemSet const& Items() const { return m_items; }

    void RemoveAllItems();
    void Remove();

private:
    friend class Data;
    friend class Item;
    friend class ItemLoader;

    Type(Data* ip_data, std::string_view i_name, bool i_isPrimary, bool i_isNull, bool i_autoCreate,
         std::uint64_t i_serial);
    ~Type() = default;

    RelationInfo const& Relation(Type* ip_other) const;
    // The item of the value, made when missing and i_create holds; one probe of the index.
    Item* FindOrCreate(std::string_view i_value, bool i_create);
    Item* FindOrCreate(std::string_view i_value, std::uint64_t i_hash, bool i_create);
    // A new item; a valued one goes into the empty slot of the index that Probe gave.
    Item* Create(std::string_view i_value, ValueIndex::Slot* ip_slot, std::uint64_t i_hash);
    void AssertValued() const;
    void AssertNull() const;
    void TakeOut(Item* ip_item);

    Data* mp_data;
    std::string m_name;
    bool m_isPrimary;
    bool m_isNull;
    bool m_autoCreate;
    bool m_removed = false;
    std::uint64_t m_serial;
    RelationMap m_relations;
    // A valued type's items by value.
    ValueIndex m_index;
    // Every item in serial order, which the collector and the data file walk.
    ItemSet m_items;
};
