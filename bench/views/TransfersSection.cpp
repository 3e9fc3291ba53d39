// Speed of the Transfers page, section `transfers` of the views benchmark: 10,000 saved downloads
// from 100 users in 1,000 folders shown when the queue announces them loaded, then 2,000 status
// changes, against a bare tree filled with the same rows; and 100 downloads reporting progress
// every 100 ms for 10 s, as the GUI thread's share of one core.

#include "Data.h"
#include "StoreFunctions.h"
#include "TransferFigures.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "TreeWidget.h"
#include "ViewHarness.h"
#include "ViewsBench.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTreeWidget>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
constexpr int LoadedDownloads = 10000;
constexpr int StatusChanges = 2000;
constexpr int ProgressingDownloads = 100;
constexpr int ProgressPeriodMs = 100;
constexpr int ProgressSeconds = 10;

std::string UserOf(int i_index)
{
    return "user" + std::to_string(i_index % 100);
}

std::string FolderOf(int i_index)
{
    return "music\\album " + std::to_string(i_index % 1000);
}

double BareFill()
{
    QTreeWidget l_tree;
    return ThreadMilliseconds(
        [&]
        {
            std::vector<QTreeWidgetItem*> l_users(100), l_folders(1000);
            for (int l_index = 0; l_index < LoadedDownloads; ++l_index)
            {
                QTreeWidgetItem*& lp_user = l_users[l_index % 100];
                if (!lp_user)
                    lp_user =
                        new QTreeWidgetItem(&l_tree, {QString::fromStdString(UserOf(l_index))});
                QTreeWidgetItem*& lp_folder = l_folders[l_index % 1000];
                if (!lp_folder)
                    lp_folder = new QTreeWidgetItem(
                        lp_user, {QString(), QString::fromStdString(FolderOf(l_index))});
                new QTreeWidgetItem(lp_folder, {QString(), QString(), QString::number(l_index),
                                                QStringLiteral("queued"), QString(), QString(),
                                                QString(), QStringLiteral("1,000,000")});
            }
            QCoreApplication::processEvents();
        });
}
} // namespace

int RunTransfersSection()
{
    ViewHarness l_harness;
    TransferQueueManager& l_queue = l_harness.Transfers();
    TransfersForm l_form;
    l_form.Init();
    l_form.resize(1000, 600);
    l_form.show();
    std::vector<ItemPtr> l_entries;
    for (int l_index = 0; l_index < LoadedDownloads; ++l_index)
        l_entries.push_back(l_queue.AddDownload(UserOf(l_index),
                                                "track " + std::to_string(l_index) + ".mp3",
                                                FolderOf(l_index), 1000000, 0));
    const double l_load = ThreadMilliseconds(
        [&]
        {
            emit l_queue.TransfersLoaded();
            for (int l_change = 0; l_change < StatusChanges; ++l_change)
                l_queue.SetDownloadEntryStatus(l_entries[l_change * 5],
                                               l_change % 2 ? "aborted" : "downloading");
            QCoreApplication::processEvents();
        });
    const double l_bare = BareFill();
    std::printf("transfers: 10,000 downloads shown and 2,000 status changes: %.1f ms\n", l_load);
    std::printf("transfers: bare tree fill of the same rows: %.1f ms\n", l_bare);
    PrintAim("transfers whole against the bare fill", l_load / l_bare, "x", 3.0);

    for (ItemPtr l_entry : l_entries)
        l_queue.RemoveDownload(l_entry);
    QCoreApplication::processEvents();
    std::vector<ItemPtr> l_running;
    for (int l_index = 0; l_index < ProgressingDownloads; ++l_index)
    {
        ItemPtr l_entry =
            l_queue.AddDownload(UserOf(l_index), "running.mp3", FolderOf(l_index), 100000000, 0);
        l_queue.SetDownloadEntryStatus(l_entry, "downloading");
        SetValue(l_entry, "write_position", Value(new TransferFigures::Counter(0)));
        SetValue(l_entry, "bytes_per_second", Value(new TransferFigures::Speed(50000)));
        l_running.push_back(l_entry);
    }
    QElapsedTimer l_wall;
    l_wall.start();
    double l_busy = 0;
    while (l_wall.elapsed() < ProgressSeconds * 1000)
    {
        l_busy += ThreadMilliseconds(
            [&]
            {
                for (ItemPtr l_entry : l_running)
                {
                    *l_entry["write_position"].AsPtr<TransferFigures::Counter>() += 5000;
                    emit l_queue.DownloadProgressed(l_entry);
                }
                QCoreApplication::processEvents();
            });
        QThread::msleep(ProgressPeriodMs);
    }
    const double l_share = l_busy * 100.0 / double(l_wall.elapsed());
    std::printf("transfers: 100 downloads progressing for 10 s: GUI thread busy %.1f ms\n", l_busy);
    PrintAim("transfers GUI thread share of one core with 100 downloads", l_share, "%", 10.0);
    for (ItemPtr l_entry : l_running)
        l_queue.RemoveDownload(l_entry);
    return 0;
}
