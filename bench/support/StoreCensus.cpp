#include "StoreCensus.h"

#include "Data.h"

#include <QCoreApplication>

#include <cstdio>

StoreCensus::Counts StoreCensus::Take()
{
    for (int l_pass = 0; l_pass < 3; ++l_pass)
    {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    d.RemoveDisconnectedItems();
    Counts l_counts;
    for (Type* lp_type : d.Types())
        l_counts[lp_type->Name()] = lp_type->ItemCount();
    return l_counts;
}

std::size_t StoreCensus::Total(const Counts& i_counts)
{
    std::size_t l_total = 0;
    for (const auto& l_entry : i_counts)
        l_total += l_entry.second;
    return l_total;
}

void StoreCensus::PrintChanges(const Counts& i_before, const Counts& i_after)
{
    for (const auto& l_entry : i_after)
    {
        const auto l_was = i_before.find(l_entry.first);
        const std::size_t l_count = l_was == i_before.end() ? 0 : l_was->second;
        if (l_entry.second != l_count)
            std::printf("    %-34s %zu -> %zu\n", l_entry.first.c_str(), l_count, l_entry.second);
    }
}
