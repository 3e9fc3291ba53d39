#include "StoreFunctions.h"

#include "Data.h"
#include "DataSaver.h"

#include <QDateTime>

namespace
{
ItemPtr ValueOf(const char* ip_family, const char* ip_key)
{
    return d.GetType(ip_family)->HasItem(ip_key)["global_value"];
}
} // namespace

Type* TypeOf(const char* ip_name)
{
    return d.GetType(ip_name);
}

void Relate(const char* ip_first, const char* ip_related, OneOrMany i_x, OneOrMany i_y, bool i_owns)
{
    TypeOf(ip_first)->RelateToType(ip_related, i_x, i_y, i_owns);
}

ItemPtr User(const std::string& i_name)
{
    return TypeOf("user")->GetItem(i_name);
}

std::string NowText()
{
    return QDateTime::currentDateTime().toString(Qt::TextDate).toStdString();
}

void DeclareSettingsTypes()
{
    Type* lp_global = d.NewType("global", true, false, true);
    Type* lp_volatile = d.NewType("vglobal", true, false, true);
    d.NewType("global_value", false, false, true);
    lp_global->RelateToType("global_value", Many, One, false);
    lp_volatile->RelateToType("global_value", Many, One, false);
    // Tests use settings without a data file.
    if (!dataSaver)
        return;
    dataSaver->AddSavedType("global");
    dataSaver->AddSavedByConnectionType("global_value", "global");
}

void DeclareUserDataTypes()
{
    Type* lp_wish = d.NewType("wish_list_item", true, false, true);
    d.NewType("wish_list_item_enabled", false, true, true);
    lp_wish->RelateToType("wish_list_item_enabled", Many, One, false);
    d.NewType("user_note", false, false, true);
    d.GetType("user")->RelateToType("user_note", Many, One, false);
    if (!dataSaver)
        return;
    dataSaver->AddSavedType("wish_list_item");
    dataSaver->AddSavedType("wish_list_item_enabled");
    dataSaver->AddSavedType("user_note");
    dataSaver->AddSavedByConnectionType("user", "user_note");
}

ItemPtr SettingValue(const char* ip_key)
{
    return ValueOf("global", ip_key);
}

void SetSetting(const char* ip_key, const Value& i_value)
{
    SetValue(d.GetType("global")->GetItem(ip_key), "global_value", i_value);
}

ItemPtr VolatileSettingValue(const char* ip_key)
{
    return ValueOf("vglobal", ip_key);
}

void SetVolatileSetting(const char* ip_key, const Value& i_value)
{
    SetValue(d.GetType("vglobal")->GetItem(ip_key), "global_value", i_value);
}

void SetValue(ItemPtr i_item, const char* ip_type, const Value& i_value)
{
    i_item += d.GetType(ip_type)->GetItem(i_value);
}
