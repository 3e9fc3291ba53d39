#pragma once

#include "ItemPtr.h"
#include "RelationInfo.h"
#include "Value.h"

#include <string>

class Type;

// The declared type of the name.
Type* TypeOf(const char* ip_name);
// Relates the types as (x, y): x items of the first type to y items of the related one.
void Relate(const char* ip_first, const char* ip_related, OneOrMany i_x, OneOrMany i_y,
            bool i_owns = false);
// The user of the name, made when missing.
ItemPtr User(const std::string& i_name);
// The local time as the text that time stamps in the store hold.
std::string NowText();

// Settings. A setting is the `global` item named after it; its value is its one `global_value`
// item, shared by every setting that holds the same text ("yes" or "no", a decimal number, a
// path). Run-time settings that the data file does not keep use `vglobal` in the same way.

// Declares `global`, `vglobal` and `global_value`, and tells the data file (when there is one)
// to keep the `global` items with their values.
void DeclareSettingsTypes();
// Declares the saved user data: `wish_list_item` with its `wish_list_item_enabled` flag, and
// `user_note` on a `user` (which must be declared), and tells the data file to keep them.
void DeclareUserDataTypes();

// The value item of a setting, or null when the setting is unset; creates nothing.
ItemPtr SettingValue(const char* ip_key);
// Gives the setting a new value, which replaces the earlier one.
void SetSetting(const char* ip_key, const Value& i_value);
// The same for run-time settings.
ItemPtr VolatileSettingValue(const char* ip_key);
void SetVolatileSetting(const char* ip_key, const Value& i_value);

// Connects the item to the value item of the type, which replaces its earlier value where the
// relation allows one.
void SetValue(ItemPtr i_item, const char* ip_type, const Value& i_value);
