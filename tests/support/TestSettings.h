#pragma once

#include "Data.h"

#include <string_view>

// Declares the settings types as the application shell does, so that tests can read and write
// settings before the shell exists: `global` and `vglobal` (primary, valued, auto-created), each
// related to `global_value` (valued, auto-created) as (Many, One).
class TestSettings
{
public:
    // Safe to call any number of times.
    static void Declare();

    // Gives the setting its value; the old value item is disconnected.
    static void SetSetting(std::string_view i_key, Value const& i_value);
    // The setting's value item, null when it has none: AsString, AsInt... read it.
    static ItemPtr Setting(std::string_view i_key);

    // The same for the settings that the data file does not keep.
    static void SetVolatileSetting(std::string_view i_key, Value const& i_value);
    static ItemPtr VolatileSetting(std::string_view i_key);
};
