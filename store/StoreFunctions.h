#pragma once

#include "ItemPtr.h"
#include "Value.h"

// A setting is the `global` item named after it; its value is its one `global_value` item.
// The value item of a setting, or null when the setting is unset; creates nothing.
ItemPtr SettingValue(const char* ip_key);
// Gives the setting a new value, which replaces the earlier one.
void SetSetting(const char* ip_key, const Value& i_value);

// Connects the item to the value item of the type, which replaces its earlier value where the
// relation allows one.
void SetValue(ItemPtr i_item, const char* ip_type, const Value& i_value);
