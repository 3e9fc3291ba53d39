#include "ProcessFigures.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
// Entries of a folder, without "." and "..", and without the descriptor that reads it.
long long Entries(const char* ip_folder)
{
    DIR* lp_folder = opendir(ip_folder);
    if (!lp_folder)
        return -1;
    long long l_count = 0;
    while (const dirent* lp_entry = readdir(lp_folder))
        if (lp_entry->d_name[0] != '.')
            ++l_count;
    closedir(lp_folder);
    return l_count;
}
} // namespace

long long ProcessFigures::StatusKb(const char* ip_field)
{
    FILE* lp_status = std::fopen("/proc/self/status", "r");
    if (!lp_status)
        return -1;
    char l_line[256];
    long long l_value = -1;
    const std::size_t l_length = std::strlen(ip_field);
    while (std::fgets(l_line, sizeof l_line, lp_status))
        if (std::strncmp(l_line, ip_field, l_length) == 0 && l_line[l_length] == ':')
            l_value = std::atoll(l_line + l_length + 1);
    std::fclose(lp_status);
    return l_value;
}

long long ProcessFigures::Descriptors()
{
    // The folder's own descriptor is open while it is read.
    return Entries("/proc/self/fd") - 1;
}

long long ProcessFigures::Threads()
{
    return Entries("/proc/self/task");
}
