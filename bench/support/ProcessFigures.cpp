#include "ProcessFigures.h"

#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer's run-time library (its header does not come with every compiler).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace
{
// Entries of a folder, without "." and "..".
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

#if !defined(__SANITIZE_ADDRESS__)
// The value of the last element of malloc_info's report that starts with the text: the report
// ends with the totals over every arena.
long long LastSize(const std::string& i_report, const char* ip_element)
{
    const std::size_t l_element = i_report.rfind(ip_element);
    if (l_element == std::string::npos)
        return 0;
    const std::size_t l_size = i_report.find("size=\"", l_element);
    return l_size == std::string::npos ? 0 : std::atoll(i_report.c_str() + l_size + 6);
}
#endif
} // namespace

ProcessFigures::MemoryFigures ProcessFigures::Memory()
{
    malloc_trim(0);
    MemoryFigures l_figures;
    l_figures.rssKb = StatusKb("VmRSS");
    l_figures.anonymousKb = StatusKb("RssAnon");
    l_figures.shmemKb = StatusKb("RssShmem");
    l_figures.heapInUseKb = HeapInUseKb();
    return l_figures;
}

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

long long ProcessFigures::HeapInUseKb()
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator stands in for the system's and keeps its own account.
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    char* lp_buffer = nullptr;
    std::size_t l_length = 0;
    FILE* lp_report = open_memstream(&lp_buffer, &l_length);
    if (!lp_report)
        return -1;
    const bool l_written = malloc_info(0, lp_report) == 0;
    std::fclose(lp_report);
    const std::string l_report(lp_buffer, l_length);
    std::free(lp_buffer);
    if (!l_written)
        return -1;
    // What the arenas hold plus the large blocks mapped on their own, less what is free.
    return (LastSize(l_report, "<system type=\"current\"") +
            LastSize(l_report, "<total type=\"mmap\"") -
            LastSize(l_report, "<total type=\"fast\"") -
            LastSize(l_report, "<total type=\"rest\"")) /
           1024;
#endif
}

unsigned long long ProcessFigures::RaiseDescriptorLimit()
{
    rlimit l_limit{};
    if (getrlimit(RLIMIT_NOFILE, &l_limit) != 0)
        return 0;
    l_limit.rlim_cur = l_limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &l_limit);
    getrlimit(RLIMIT_NOFILE, &l_limit);
    return l_limit.rlim_cur;
}
