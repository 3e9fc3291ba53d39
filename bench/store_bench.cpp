// Measures the item store at the scale of a large shared-file index: 1,000,000 valued items (or
// the count given as the first argument) of one type, each connected to one shared flag item and to
// one of 1,000 folder items, with a handler on each of the type's four events. Prints one figure a
// line.
//
// Timed: creating the items; connecting them (flag and folder); looking every item up by value
// in shuffled order, against the same lookups in a std::map<std::string, int>; disconnecting
// and reconnecting every flag; a collection that keeps everything (every item reached through
// its primary folder); and, after the folders are removed, a collection that removes the
// 1,000,000 items with all their events. Memory is the peak resident size (VmHWM) minus the
// size before the store was filled, divided by the number of items.

#include "Data.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace
{
int ItemCount = 1000000;
constexpr int FolderCount = 1000;

long PeakResidentKiB()
{
    std::ifstream l_status("/proc/self/status");
    std::string l_line;
    while (std::getline(l_status, l_line))
        if (l_line.rfind("VmHWM:", 0) == 0)
            return std::stol(l_line.substr(6));
    return 0;
}

class Stopwatch
{
public:
    Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
    double Nanoseconds() const
    {
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - m_start)
            .count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

class Counter : public DataHandler
{
public:
    void OnItem(Item*) { ++m_calls; }
    void OnConnection(ConnectionInfo) { ++m_calls; }
    long m_calls = 0;
};

std::string Key(int i_index)
{
    return "file" + std::to_string(i_index);
}
} // namespace

int main(int i_argc, char** ip_argv)
{
    if (i_argc > 1)
        ItemCount = std::max(FolderCount, std::atoi(ip_argv[1]));
    std::vector<std::string> l_keys;
    l_keys.reserve(ItemCount);
    for (int l_index = 0; l_index < ItemCount; ++l_index)
        l_keys.push_back(Key(l_index));
    std::vector<std::string> l_shuffled = l_keys;
    std::shuffle(l_shuffled.begin(), l_shuffled.end(), std::mt19937(42));

    Type* lp_file = d.NewType("bench_file", false, false, true);
    Type* lp_flag = d.NewType("bench_flag", false, true, true);
    Type* lp_folder = d.NewType("bench_folder", true, false, true);
    lp_file->RelateToType(lp_flag, Many, One, false);
    lp_file->RelateToType(lp_folder, Many, One, false);
    Counter l_counter;
    lp_file->m_itemAddedEvent.AddHandler(
        new EventHandler<Counter, Item*>(&l_counter, &Counter::OnItem));
    lp_file->m_itemRemovedEvent.AddHandler(
        new EventHandler<Counter, Item*>(&l_counter, &Counter::OnItem));
    lp_file->m_connectionEvent.AddHandler(
        new EventHandler<Counter, ConnectionInfo>(&l_counter, &Counter::OnConnection));
    lp_file->m_disconnectionEvent.AddHandler(
        new EventHandler<Counter, ConnectionInfo>(&l_counter, &Counter::OnConnection));
    std::vector<Item*> l_folders;
    for (int l_index = 0; l_index < FolderCount; ++l_index)
        l_folders.push_back(lp_folder->GetItem("folder" + std::to_string(l_index)));
    Item* lp_flagItem = lp_flag->GetGlobalNullItem();

    long const l_baseKiB = PeakResidentKiB();

    std::vector<Item*> l_items(ItemCount);
    Stopwatch l_create;
    for (int l_index = 0; l_index < ItemCount; ++l_index)
        l_items[l_index] = lp_file->GetItem(l_keys[l_index]);
    double const l_createNs = l_create.Nanoseconds();

    Stopwatch l_connect;
    for (int l_index = 0; l_index < ItemCount; ++l_index)
    {
        l_items[l_index]->Connect(lp_flagItem);
        l_items[l_index]->Connect(l_folders[l_index % FolderCount]);
    }
    double const l_connectNs = l_connect.Nanoseconds();
    long const l_filledKiB = PeakResidentKiB();

    std::size_t l_found = 0;
    Stopwatch l_lookup;
    for (std::string const& l_key : l_shuffled)
        l_found += lp_file->HasItem(l_key) ? 1 : 0;
    double const l_lookupNs = l_lookup.Nanoseconds();

    Stopwatch l_disconnect;
    for (Item* lp_item : l_items)
        lp_item->Disconnect(lp_flagItem);
    double const l_disconnectNs = l_disconnect.Nanoseconds();
    Stopwatch l_reconnect;
    for (Item* lp_item : l_items)
        lp_item->Connect(lp_flagItem);
    double const l_reconnectNs = l_reconnect.Nanoseconds();

    Stopwatch l_keepAll;
    int const l_keptRemoved = d.RemoveDisconnectedItems();
    double const l_keepAllNs = l_keepAll.Nanoseconds();

    for (Item* lp_folderItem : l_folders)
        lp_folderItem->Remove();
    Stopwatch l_removeAll;
    int const l_removed = d.RemoveDisconnectedItems();
    double const l_removeAllNs = l_removeAll.Nanoseconds();
    long const l_peakKiB = PeakResidentKiB();

    std::map<std::string, int> l_baseline;
    for (int l_index = 0; l_index < ItemCount; ++l_index)
        l_baseline.emplace(l_keys[l_index], l_index);
    std::size_t l_baselineFound = 0;
    Stopwatch l_baselineLookup;
    for (std::string const& l_key : l_shuffled)
        l_baselineFound += l_baseline.find(l_key) != l_baseline.end() ? 1 : 0;
    double const l_baselineNs = l_baselineLookup.Nanoseconds();

    std::printf("items: %d (found %zu, baseline found %zu, handler calls %ld)\n", ItemCount,
                l_found, l_baselineFound, l_counter.m_calls);
    std::printf("ns per item created: %.0f\n", l_createNs / ItemCount);
    std::printf("ns per lookup: %.0f\n", l_lookupNs / ItemCount);
    std::printf("ns per lookup in std::map<std::string, int>: %.0f\n", l_baselineNs / ItemCount);
    std::printf("lookup ratio to std::map: %.2f\n", l_lookupNs / l_baselineNs);
    std::printf("ns per connect: %.0f\n", l_connectNs / (2.0 * ItemCount));
    std::printf("ns per flag reconnect: %.0f\n", l_reconnectNs / ItemCount);
    std::printf("ns per disconnect: %.0f\n", l_disconnectNs / ItemCount);
    std::printf("ms per collection of %d items, all kept (%d removed): %.0f\n", ItemCount,
                l_keptRemoved, l_keepAllNs / 1e6);
    std::printf("ms per collection removing %d items with their events: %.0f\n", l_removed,
                l_removeAllNs / 1e6);
    std::printf("bytes per item with two connections (peak RSS after connecting): %.0f\n",
                (l_filledKiB - l_baseKiB) * 1024.0 / ItemCount);
    std::printf("bytes per item (peak RSS over the whole run): %.0f\n",
                (l_peakKiB - l_baseKiB) * 1024.0 / ItemCount);
    return 0;
}
