#include "StoreFunctions.h"

#include "Data.h"

ItemPtr SettingValue(const char* ip_key)
{
    return d.GetType("global")->HasItem(ip_key)["global_value"];
}

void SetSetting(const char* ip_key, const Value& i_value)
{
    SetValue(d.GetType("global")->GetItem(ip_key), "global_value", i_value);
}

void SetValue(ItemPtr i_item, const char* ip_type, const Value& i_value)
{
    i_item += d.GetType(ip_type)->GetItem(i_value);
}
