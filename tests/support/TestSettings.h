#pragma once

#include "Data.h"

#include <string_view>

// Settings for tests that run without the application shell: declares the settings types once,
// as the shell does, then reads and writes through the program's own helpers.
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
