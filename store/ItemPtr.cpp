#include "ItemPtr.h"

#include "Data.h"

ItemPtr ItemPtr::HasItem(std::string_view i_type) const
{
    return mp_item ? mp_item->HasItem(i_type) : nullptr;
}

ItemPtr ItemPtr::GetItem(std::string_view i_type) const
{
    return mp_item ? mp_item->HasItem(i_type) : nullptr;
}

ItemPtr ItemPtr::NewItem(std::string_view i_type) const
{
    return mp_item ? mp_item->NewItem(i_type) : nullptr;
}

bool ItemPtr::IsConnected(ItemPtr i_other) const
{
    return mp_item && i_other && mp_item->IsConnected(static_cast<Item*>(i_other));
}

bool ItemPtr::IsConnected(Type* ip_type) const
{
    return mp_item && mp_item->IsConnected(ip_type);
}

bool ItemPtr::IsConnected(std::string_view i_type) const
{
    return mp_item && mp_item->IsConnected(i_type);
}

bool ItemPtr::IsDisconnectedFromAll() const
{
    return mp_item && mp_item->IsDisconnectedFromAll();
}

ItemPtr ItemPtr::Connect(ItemPtr i_other) const
{
    return mp_item && i_other ? mp_item->Connect(i_other) : nullptr;
}

void ItemPtr::Disconnect(ItemPtr i_other) const
{
    if (mp_item && i_other)
        mp_item->Disconnect(static_cast<Item*>(i_other));
}

ItemPtr ItemPtr::operator-=(ItemPtr i_other) const
{
    Disconnect(i_other);
    return i_other;
}

void ItemPtr::Disconnect(std::string_view i_type) const
{
    if (mp_item)
        mp_item->Disconnect(i_type);
}

void ItemPtr::Remove() const
{
    if (mp_item)
        mp_item->Remove();
}

std::string ItemPtr::AsString() const
{
    return mp_item ? mp_item->AsString() : std::string();
}

char const* ItemPtr::AsCStr() const
{
    return mp_item ? mp_item->AsCStr() : "";
}

int ItemPtr::AsInt() const
{
    return mp_item ? mp_item->AsInt() : 0;
}

unsigned int ItemPtr::AsUInt() const
{
    return mp_item ? mp_item->AsUInt() : 0;
}

long long ItemPtr::AsInt64() const
{
    return mp_item ? mp_item->AsInt64() : 0;
}

unsigned long long ItemPtr::AsUInt64() const
{
    return mp_item ? mp_item->AsUInt64() : 0;
}

ItemSet ItemPtr::GetItems(std::string_view i_type) const
{
    ItemSet l_items;
    GetItems(i_type, l_items);
    return l_items;
}

void ItemPtr::GetItems(std::string_view i_type, ItemSet& i_result) const
{
    if (!mp_item)
    {
        i_result.clear();
        return;
    }
    mp_item->GetItems(i_type, i_result);
}
