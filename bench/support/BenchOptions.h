#pragma once

#include <initializer_list>

// The command line of a benchmark: "--name N" pairs, each setting one whole number. Anything else
// prints the usage and ends the program.
class BenchOptions
{
public:
    struct Option
    {
        const char* mp_name; // with its dashes
        int* mp_value;
        int m_minimum;
    };

    static void Parse(int i_argc, char** ip_argv, std::initializer_list<Option> i_options);
};
