#include "TestSettings.h"

#include "StoreFunctions.h"

#include <string>

void TestSettings::Declare()
{
    if (!d.HasType("global"))
        DeclareSettingsTypes();
}

void TestSettings::SetSetting(std::string_view i_key, Value const& i_value)
{
    Declare();
    ::SetSetting(std::string(i_key).c_str(), i_value);
}

ItemPtr TestSettings::Setting(std::string_view i_key)
{
    Declare();
    return SettingValue(std::string(i_key).c_str());
}

void TestSettings::SetVolatileSetting(std::string_view i_key, Value const& i_value)
{
    Declare();
    ::SetVolatileSetting(std::string(i_key).c_str(), i_value);
}

ItemPtr TestSettings::VolatileSetting(std::string_view i_key)
{
    Declare();
    return VolatileSettingValue(std::string(i_key).c_str());
}
