#pragma once

#include <QMetaType>

#include <cstdint>
#include <string>
#include <string_view>

class Item;
class ItemSet;
class Type;

// The null-safe item handle. Every operation accepts a null handle: reads give null, false, the
// empty string or 0, and changes (connecting, disconnecting, removing, making items) do nothing
// and give null. A null item to connect to or disconnect from is the same.
class ItemPtr
{
public:
    ItemPtr() = default;
    ItemPtr(Item* ip_item) : mp_item(ip_item) {}

    operator Item*() const { return mp_item; }
    Item* operator->() const { return mp_item; }
    bool IsNull() const { return mp_item == nullptr; }

    ItemPtr operator[](std::string_view i_type) const { return HasItem(i_type); }
    ItemPtr HasItem(std::string_view i_type) const;
    ItemPtr GetItem(std::string_view i_type) const;
    ItemPtr NewItem(std::string_view i_type) const;

    bool IsConnected(ItemPtr i_other) const;
    bool IsConnected(Type* ip_type) const;
    bool IsConnected(std::string_view i_type) const;
    bool IsDisconnectedFromAll() const;

    ItemPtr Connect(ItemPtr i_other) const;
    ItemPtr operator+=(ItemPtr i_other) const { return Connect(i_other); }
    void Disconnect(ItemPtr i_other) const;
    ItemPtr operator-=(ItemPtr i_other) const;
    void Disconnect(std::string_view i_type) const;
    void Remove() const;

    std::string AsString() const;
    char const* AsCStr() const;
    int AsInt() const;
    unsigned int AsUInt() const;
    long long AsInt64() const;
    unsigned long long AsUInt64() const;
    template <typename T> T* AsPtr() const
    {
        return reinterpret_cast<T*>(static_cast<std::uintptr_t>(AsUInt64()));
    }

    ItemSet GetItems(std::string_view i_type) const;
    void GetItems(std::string_view i_type, ItemSet& i_result) const;

private:
    Item* mp_item = nullptr;
};

Q_DECLARE_METATYPE(ItemPtr)
