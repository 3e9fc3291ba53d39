// The store browser on a store of 1,000,000 items in 20 types (the largest holds half of them):
// the time to show the dialog with its type list and the time to fill the largest type's item
// list, against a bare QTreeWidget filled with as many rows in one call, in the same run. Every
// timing includes the event processing that lays the widget out. Prints one figure a line.

#include "Data.h"
#include "DataDialog.h"
#include "ViewsBench.h"

#include <QApplication>
#include <QListWidget>
#include <QTreeWidget>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>

namespace
{
constexpr int inspectorsItemCount = 1000000;
constexpr int inspectorsTypeCount = 20;
constexpr double inspectorsAimRatio = 3.0;

double MillisecondsSince(std::chrono::steady_clock::time_point i_start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - i_start)
        .count();
}

void SettleWidgets()
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}
} // namespace

// The section "inspectors".
void BenchInspectors()
{
    Data l_store;
    std::mt19937_64 l_random(42);
    const int l_largest = inspectorsItemCount / 2;
    const int l_perOtherType = (inspectorsItemCount - l_largest) / (inspectorsTypeCount - 1);
    std::vector<std::string> l_largestValues;
    l_largestValues.reserve(l_largest);
    for (int l_type = 0; l_type < inspectorsTypeCount; ++l_type)
    {
        char l_name[32];
        std::snprintf(l_name, sizeof l_name, "bench_type_%02d", l_type);
        Type* lp_type = l_store.NewType(l_name, true, false, true);
        const int l_count = l_type == 0 ? l_largest : l_perOtherType;
        for (int l_index = 0; l_index < l_count; ++l_index)
        {
            char l_value[32];
            std::snprintf(l_value, sizeof l_value, "user_%016llx",
                          static_cast<unsigned long long>(l_random()));
            lp_type->NewItem(l_value);
            if (l_type == 0)
                l_largestValues.emplace_back(l_value);
        }
    }

    auto l_start = std::chrono::steady_clock::now();
    auto* lp_dialog = new DataDialog(&l_store);
    lp_dialog->show();
    SettleWidgets();
    const double l_typeListMs = MillisecondsSince(l_start);

    auto* lp_types = lp_dialog->findChild<QTreeWidget*>(QStringLiteral("typeList"));
    auto* lp_list = lp_dialog->findChild<QListWidget*>(QStringLiteral("itemList"));
    l_start = std::chrono::steady_clock::now();
    lp_types->setCurrentItem(lp_types->topLevelItem(0));
    SettleWidgets();
    const double l_itemListMs = MillisecondsSince(l_start);
    const int l_rows = lp_list->count();
    delete lp_dialog;

    l_start = std::chrono::steady_clock::now();
    auto l_bare = std::make_unique<QTreeWidget>();
    l_bare->show();
    QList<QTreeWidgetItem*> l_bareRows;
    l_bareRows.reserve(l_largest);
    for (const std::string& l_value : l_largestValues)
        l_bareRows.append(new QTreeWidgetItem({QString::fromUtf8(l_value)}));
    l_bare->addTopLevelItems(l_bareRows);
    SettleWidgets();
    const double l_bareMs = MillisecondsSince(l_start);
    l_bare.reset();

    const double l_ratio = (l_typeListMs + l_itemListMs) / l_bareMs;
    std::printf("store browser, type list of %d types shown: %.1f ms\n", inspectorsTypeCount,
                l_typeListMs);
    std::printf("store browser, item list of %d rows filled: %.1f ms\n", l_rows, l_itemListMs);
    std::printf("bare QTreeWidget, %d rows filled: %.1f ms\n", l_largest, l_bareMs);
    std::printf("aim: store browser type list and largest item list against a bare fill: %.2fx "
                "(aim %.0fx): %s\n",
                l_ratio, inspectorsAimRatio, l_ratio <= inspectorsAimRatio ? "met" : "not met");
}

int RunStoreBrowserSection()
{
    BenchInspectors();
    return 0;
}
