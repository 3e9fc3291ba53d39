#include "TestSettings.h"

namespace
{
void Set(char const* ip_family, std::string_view i_key, Value const& i_value)
{
    TestSettings::Declare();
    ItemPtr l_setting = d.GetType(ip_family)->GetItem(Value(std::string(i_key)));
    l_setting += d.GetType("global_value")->GetItem(i_value);
}

ItemPtr Get(char const* ip_family, std::string_view i_key)
{
    TestSettings::Declare();
    return (*d.GetType(ip_family))[Value(std::string(i_key))]["global_value"];
}
} // namespace

void TestSettings::Declare()
{
    if (!d.HasType("global_value"))
        d.NewType("global_value", false, false, true);
    for (char const* lp_family : {"global", "vglobal"})
        if (!d.HasType(lp_family))
            d.NewType(lp_family, true, false, true)->RelateToType("global_value", Many, One, false);
}

void TestSettings::SetSetting(std::string_view i_key, Value const& i_value)
{
    Set("global", i_key, i_value);
}

ItemPtr TestSettings::Setting(std::string_view i_key)
{
    return Get("global", i_key);
}

void TestSettings::SetVolatileSetting(std::string_view i_key, Value const& i_value)
{
    Set("vglobal", i_key, i_value);
}

ItemPtr TestSettings::VolatileSetting(std::string_view i_key)
{
    return Get("vglobal", i_key);
}
