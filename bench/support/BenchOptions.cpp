#include "BenchOptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

void BenchOptions::Parse(int i_argc, char** ip_argv, std::initializer_list<Option> i_options)
{
    for (int l_index = 1; l_index < i_argc; l_index += 2)
    {
        const Option* lp_found = nullptr;
        for (const Option& l_option : i_options)
            if (std::strcmp(ip_argv[l_index], l_option.mp_name) == 0)
                lp_found = &l_option;
        const int l_value = l_index + 1 < i_argc ? std::atoi(ip_argv[l_index + 1]) : 0;
        if (lp_found && l_index + 1 < i_argc && l_value >= lp_found->m_minimum)
        {
            *lp_found->mp_value = l_value;
            continue;
        }
        std::string l_usage;
        for (const Option& l_option : i_options)
            l_usage += std::string(" [") + l_option.mp_name + " N]";
        std::fprintf(stderr, "usage: %s%s\n", ip_argv[0], l_usage.c_str());
        std::exit(2);
    }
}
