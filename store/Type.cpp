#include "Type.h"

#include "Data.h"
#include "LoadArena.h"

#include <algorithm>
#include <new>

Type::Type(Data* ip_data, std::string_view i_name, bool i_isPrimary, bool i_isNull,
           bool i_autoCreate, std::uint64_t i_serial)
    : mp_data(ip_data), m_name(i_name), m_isPrimary(i_isPrimary), m_isNull(i_isNull),
      m_autoCreate(i_autoCreate), m_serial(i_serial)
{
}

void Type::RelateToType(Type* ip_other, OneOrMany i_thisEnd, OneOrMany i_otherEnd, bool i_owns)
{
    if (m_relations.contains(ip_other))
    {
        CrashAssert(false);
        throw new AlreadyRelatedException();
    }
    m_relations[ip_other] = RelationInfo{i_thisEnd, i_otherEnd, i_owns, false};
    RelationInfo& l_back = ip_other->m_relations[this];
    if (ip_other == this)
        l_back.ownedBy = i_owns;
    else
        l_back = RelationInfo{i_otherEnd, i_thisEnd, false, i_owns};
}

void Type::RelateToType(std::string_view i_other, OneOrMany i_thisEnd, OneOrMany i_otherEnd,
                        bool i_owns)
{
    RelateToType(mp_data->GetType(i_other), i_thisEnd, i_otherEnd, i_owns);
}

bool Type::IsRelated(Type* ip_other) const
{
    return m_relations.contains(ip_other);
}

RelationInfo const& Type::Relation(Type* ip_other) const
{
    auto l_found = m_relations.find(ip_other);
    if (l_found == m_relations.end())
    {
        CrashAssert(false);
        throw new NotRelatedException();
    }
    return l_found->second;
}

RelationInfo Type::GetRelation(Type* ip_other) const
{
    return Relation(ip_other);
}

void Type::GetRelatedTypes(RelationMap& i_result) const
{
    i_result = m_relations;
}

void Type::AssertValued() const
{
    if (m_isNull)
    {
        CrashAssert(false);
        throw new NullTypeException();
    }
}

void Type::AssertNull() const
{
    if (!m_isNull)
    {
        CrashAssert(false);
        throw new NullTypeException();
    }
}

Item* Type::Create(std::string_view i_value, ValueIndex::Slot* ip_slot, std::uint64_t i_hash)
{
    if (m_removed)
    {
        CrashAssert(false);
        return nullptr;
    }
    Data::Operation l_operation(mp_data);
    Item* lp_item = nullptr;
    if (void* lp_memory = mp_data->mp_arena ? mp_data->mp_arena->Take(sizeof(Item)) : nullptr)
    {
        // A value too large for the string's own room may fail to copy: the piece goes back.
        try
        {
            lp_item = new (lp_memory) Item(this, i_value, mp_data->NextItemSerial());
        }
        catch (...)
        {
            LoadArena::Give(lp_memory, sizeof(Item));
            throw;
        }
        lp_item->m_flags |= Item::ArenaFlag;
    }
    else
        lp_item = new Item(this, i_value, mp_data->NextItemSerial());
    if (ip_slot)
        m_index.Put(ip_slot, i_hash, lp_item);
    m_items.insert(lp_item);
    mp_data->CountChange();
    Item* lp_added = lp_item;
    m_itemAddedEvent.Notify(lp_added);
    lp_added = lp_item;
    mp_data->m_itemAddedEvent.Notify(lp_added);
    // A handler that removes the item it is told of would hand the caller a dead item.
    if (lp_item->IsRemoved())
    {
        CrashAssert(false);
        return nullptr;
    }
    return lp_item;
}

Item* Type::FindOrCreate(std::string_view i_value, bool i_create)
{
    return FindOrCreate(i_value, ValueIndex::Hash(i_value), i_create);
}

Item* Type::FindOrCreate(std::string_view i_value, std::uint64_t i_hash, bool i_create)
{
    AssertValued();
    ValueIndex::Slot* lp_slot = m_index.Probe(i_value, i_hash);
    if (lp_slot->mp_item || !i_create)
        return lp_slot->mp_item;
    return Create(i_value, lp_slot, i_hash);
}

Item* Type::GetItem(Value const& i_value)
{
    return FindOrCreate(i_value.AsString(), m_autoCreate);
}

ItemPtr Type::HasItem(Value const& i_value) const
{
    AssertValued();
    return m_index.Find(i_value.AsString());
}

Item* Type::NewItem(Value const& i_value)
{
    return FindOrCreate(i_value.AsString(), true);
}

Item* Type::NewItem()
{
    AssertNull();
    return Create(std::string_view(), nullptr, 0);
}

Item* Type::GetGlobalNullItem()
{
    AssertNull();
    return m_items.empty() ? NewItem() : m_items.front();
}

ItemSet Type::GetItems() const
{
    return m_items;
}

void Type::GetItems(ItemSet& i_result) const
{
    i_result.Add(m_items);
}

std::size_t Type::ItemCount() const
{
    return m_items.size();
}

void Type::TakeOut(Item* ip_item)
{
    if (!m_isNull)
        m_index.Erase(ip_item);
    m_items.erase(ip_item);
}

void Type::RemoveAllItems()
{
    Data::Operation l_operation(mp_data);
    std::vector<Item*> l_items(m_items.begin(), m_items.end());
    // A valued type's items go in value order.
    if (!m_isNull)
        std::sort(l_items.begin(), l_items.end(),
                  [](Item* ip_a, Item* ip_b) { return ip_a->Value() < ip_b->Value(); });
    for (Item* lp_item : l_items)
        lp_item->Remove();
}

void Type::Remove()
{
    if (m_removed)
        return;
    Data::Operation l_operation(mp_data);
    m_removed = true;
    RemoveAllItems();
    mp_data->ForgetType(this);
    Type* lp_self = this;
    mp_data->m_typeRemovedEvent.Notify(lp_self);
}
