#pragma once

#include <cstddef>
#include <map>
#include <string>

// The store's items counted by type, for the soak benchmarks: taken before and after a load, two
// counts show what the load left behind.
class StoreCensus
{
public:
    using Counts = std::map<std::string, std::size_t>;

    // Lets every deferred deletion happen and runs the collector, as the 5-minute tick would, then
    // counts.
    static Counts Take();
    static std::size_t Total(const Counts& i_counts);
    // A line for each type whose count changed.
    static void PrintChanges(const Counts& i_before, const Counts& i_after);
};
