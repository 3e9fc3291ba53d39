#include "Type.h"

#include "Data.h"

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

Item* Type::Create(ItemIndex::iterator i_entry)
{
    if (m_removed)
    {
        CrashAssert(false);
        if (!m_isNull)
            m_items.erase(i_entry);
        return nullptr;
    }
    Data::Operation l_operation(mp_data);
    Item* lp_item = new Item(this, i_entry, mp_data->NextItemSerial());
    if (m_isNull)
        m_nullItems.insert(lp_item);
    else
        i_entry->second = lp_item;
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

Item* Type::GetItem(Value const& i_value)
{
    AssertValued();
    auto l_found = m_items.find(i_value.AsString());
    if (l_found != m_items.end())
        return l_found->second;
    if (!m_autoCreate)
        return nullptr;
    return Create(m_items.emplace_hint(l_found, i_value.AsString(), nullptr));
}

ItemPtr Type::HasItem(Value const& i_value) const
{
    AssertValued();
    auto l_found = m_items.find(i_value.AsString());
    return l_found != m_items.end() ? l_found->second : nullptr;
}

Item* Type::NewItem(Value const& i_value)
{
    AssertValued();
    auto l_found = m_items.find(i_value.AsString());
    if (l_found != m_items.end())
        return l_found->second;
    return Create(m_items.emplace_hint(l_found, i_value.AsString(), nullptr));
}

Item* Type::NewItem()
{
    AssertNull();
    return Create(Item::NullEntry());
}

Item* Type::GetGlobalNullItem()
{
    AssertNull();
    return m_nullItems.empty() ? NewItem() : m_nullItems.front();
}

std::vector<Item*> Type::ItemsInOrder() const
{
    std::vector<Item*> l_items;
    if (m_isNull)
        l_items.assign(m_nullItems.begin(), m_nullItems.end());
    else
    {
        l_items.reserve(m_items.size());
        for (auto const& l_entry : m_items)
            l_items.push_back(l_entry.second);
    }
    return l_items;
}

ItemSet Type::GetItems() const
{
    if (m_isNull)
        return m_nullItems;
    return ItemSet(ItemsInOrder());
}

void Type::GetItems(ItemSet& i_result) const
{
    i_result.Add(GetItems());
}

std::size_t Type::ItemCount() const
{
    return m_isNull ? m_nullItems.size() : m_items.size();
}

void Type::TakeOut(Item* ip_item)
{
    if (m_isNull)
    {
        m_nullItems.erase(ip_item);
        return;
    }
    // Handlers of the removal still read the value: the item takes it from the entry.
    ItemIndex::node_type l_entry = m_items.extract(ip_item->m_entry);
    ip_item->mp_ownValue = new std::string(std::move(l_entry.key()));
    ip_item->m_flags |= Item::OwnsValueFlag;
}

void Type::RemoveAllItems()
{
    Data::Operation l_operation(mp_data);
    for (Item* lp_item : ItemsInOrder())
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
