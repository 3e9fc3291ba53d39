// Speed of the Transfers page, section `transfers` of the views benchmark: N saved downloads
// from N/100 users in N/10 folders shown when the queue announces them loaded, then N/5 status
// changes, against a bare tree filled with the same rows, shown and opened as the page shows
// them, and the time to clear them all once complete; at 1,000 and at 10,000, each in a process
// of its own (the page can be set up once per process), best of five. Then 100 downloads reporting
// progress every 100 ms for 10 s, as the GUI thread's share of one core.

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
#include <QProcess>
#include <QThread>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{
constexpr int SmallLoad = 1000;
constexpr int LargeLoad = 10000;
constexpr int LoadRounds = 5;
constexpr int ProgressingDownloads = 100;
constexpr int ProgressPeriodMs = 100;
constexpr int ProgressSeconds = 10;
const char* const FiguresTag = "transfers figures:";

std::string UserOf(int i_index, int i_count)
{
    return "user" + std::to_string(i_index % std::max(i_count / 100, 1));
}

std::string FolderOf(int i_index, int i_count)
{
    return "music\\album " + std::to_string(i_index % std::max(i_count / 10, 1));
}

double BareFill(int i_count)
{
    QTreeWidget l_tree;
    l_tree.resize(1000, 600);
    l_tree.show();
    QCoreApplication::processEvents();
    const int l_users = std::max(i_count / 100, 1), l_folders = std::max(i_count / 10, 1);
    return ThreadMilliseconds(
        [&]
        {
            std::vector<QTreeWidgetItem*> l_userRows(l_users), l_folderRows(l_folders);
            for (int l_index = 0; l_index < i_count; ++l_index)
            {
                QTreeWidgetItem*& lp_user = l_userRows[l_index % l_users];
                if (!lp_user)
                {
                    lp_user = new QTreeWidgetItem(
                        &l_tree, {QString::fromStdString(UserOf(l_index, i_count))});
                    lp_user->setExpanded(true);
                }
                QTreeWidgetItem*& lp_folder = l_folderRows[l_index % l_folders];
                if (!lp_folder)
                {
                    lp_folder = new QTreeWidgetItem(
                        lp_user, {QString(), QString::fromStdString(FolderOf(l_index, i_count))});
                    lp_folder->setExpanded(true);
                }
                new QTreeWidgetItem(lp_folder, {QString(), QString(), QString::number(l_index),
                                                QStringLiteral("queued"), QString(), QString(),
                                                QString(), QStringLiteral("1,000,000")});
            }
            QCoreApplication::processEvents();
        });
}

void ShowPage(TransfersForm& i_form)
{
    i_form.Init();
    i_form.resize(1000, 600);
    i_form.show();
    QCoreApplication::processEvents();
}

int FileRows(QTreeWidget* ip_list)
{
    int l_rows = 0;
    for (int l_user = 0; l_user < ip_list->topLevelItemCount(); ++l_user)
        for (int l_folder = 0; l_folder < ip_list->topLevelItem(l_user)->childCount(); ++l_folder)
            l_rows += ip_list->topLevelItem(l_user)->child(l_folder)->childCount();
    return l_rows;
}

// One round in a process of its own; prints the page's time and the bare fill's.
int RunLoad(int i_count)
{
    ViewHarness l_harness;
    TransferQueueManager& l_queue = l_harness.Transfers();
    TransfersForm l_form;
    ShowPage(l_form);
    QCoreApplication::processEvents();
    std::vector<ItemPtr> l_entries;
    for (int l_index = 0; l_index < i_count; ++l_index)
        l_entries.push_back(l_queue.AddDownload(UserOf(l_index, i_count),
                                                "track " + std::to_string(l_index) + ".mp3",
                                                FolderOf(l_index, i_count), 1000000, 0));
    const double l_load = ThreadMilliseconds(
        [&]
        {
            emit l_queue.TransfersLoaded();
            for (int l_change = 0; l_change < i_count / 5; ++l_change)
                l_queue.SetDownloadEntryStatus(l_entries[l_change * 5],
                                               l_change % 2 ? "aborted" : "downloading");
            QCoreApplication::processEvents();
        });
    if (FileRows(l_form.DownloadsList()) != i_count)
    {
        std::printf("transfers: %d rows for %d downloads\n", FileRows(l_form.DownloadsList()),
                    i_count);
        return 1;
    }
    const double l_bare = BareFill(i_count);
    for (ItemPtr l_entry : l_entries)
        l_queue.SetDownloadEntryStatus(l_entry, "complete");
    QCoreApplication::processEvents();
    const double l_clear = ThreadMilliseconds(
        [&]
        {
            l_form.OnActionBarTriggered("clear_complete_downloads");
            QCoreApplication::processEvents();
        });
    std::printf("%s %.3f %.3f %.3f\n", FiguresTag, l_load, l_bare, l_clear);
    return 0;
}

int RunProgress()
{
    ViewHarness l_harness;
    TransferQueueManager& l_queue = l_harness.Transfers();
    TransfersForm l_form;
    ShowPage(l_form);
    emit l_queue.TransfersLoaded();
    std::vector<ItemPtr> l_running;
    for (int l_index = 0; l_index < ProgressingDownloads; ++l_index)
    {
        ItemPtr l_entry = l_queue.AddDownload(UserOf(l_index, 10000), "running.mp3",
                                              FolderOf(l_index, 10000), 100000000, 0);
        l_queue.SetDownloadEntryStatus(l_entry, "downloading");
        SetValue(l_entry, "write_position", Value(new TransferFigures::Counter(0)));
        SetValue(l_entry, "bytes_per_second", Value(new TransferFigures::Speed(50000)));
        l_running.push_back(l_entry);
    }
    QCoreApplication::processEvents();
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

// Runs this program for one part of the section; the figures line of its output, or false.
bool RunChild(const QStringList& i_arguments, double& o_load, double& o_bare, double& o_clear)
{
    QProcess l_child;
    l_child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    l_child.start(QCoreApplication::applicationFilePath(),
                  QStringList{QStringLiteral("transfers")} + i_arguments);
    if (!l_child.waitForFinished(-1) || l_child.exitStatus() != QProcess::NormalExit ||
        l_child.exitCode() != 0)
        return false;
    for (const QByteArray& l_line : l_child.readAllStandardOutput().split('\n'))
        if (l_line.startsWith(FiguresTag))
            return std::sscanf(l_line.constData() + std::strlen(FiguresTag), "%lf %lf %lf", &o_load,
                               &o_bare, &o_clear) == 3;
    return false;
}

bool BestLoad(int i_count, double& o_load, double& o_bare, double& o_clear)
{
    o_load = o_bare = o_clear = 1e30;
    for (int l_round = 0; l_round < LoadRounds; ++l_round)
    {
        double l_load, l_bare, l_clear;
        if (!RunChild({QStringLiteral("load"), QString::number(i_count)}, l_load, l_bare, l_clear))
            return false;
        o_load = std::min(o_load, l_load);
        o_bare = std::min(o_bare, l_bare);
        o_clear = std::min(o_clear, l_clear);
    }
    std::printf("transfers: %d downloads shown and %d status changes: %.1f ms, %.2f us per entry; "
                "bare fill %.1f ms\n",
                i_count, i_count / 5, o_load, o_load * 1000.0 / i_count, o_bare);
    std::printf("transfers: %d complete downloads cleared: %.1f ms, %.2f us per entry\n", i_count,
                o_clear, o_clear * 1000.0 / i_count);
    return true;
}
} // namespace

int RunTransfersSection()
{
    const QStringList l_arguments = QCoreApplication::arguments();
    if (l_arguments.size() > 3 && l_arguments[2] == QLatin1String("load"))
        return RunLoad(l_arguments[3].toInt());
    if (l_arguments.size() > 2 && l_arguments[2] == QLatin1String("progress"))
        return RunProgress();
    double l_smallLoad, l_smallBare, l_smallClear, l_largeLoad, l_largeBare, l_largeClear;
    if (!BestLoad(SmallLoad, l_smallLoad, l_smallBare, l_smallClear) ||
        !BestLoad(LargeLoad, l_largeLoad, l_largeBare, l_largeClear))
        return 1;
    PrintAim("transfers cost per entry at 10,000 against 1,000",
             (l_largeLoad / LargeLoad) / (l_smallLoad / SmallLoad), "x", 1.5);
    PrintAim("transfers whole against the bare fill", l_largeLoad / l_largeBare, "x", 3.0);
    std::printf("transfers: clearing cost per entry at 10,000 against 1,000: %.2f x\n",
                (l_largeClear / LargeLoad) / (l_smallClear / SmallLoad));
    std::fflush(stdout);
    QProcess l_progress;
    l_progress.setProcessChannelMode(QProcess::ForwardedChannels);
    l_progress.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("transfers"), QStringLiteral("progress")});
    return l_progress.waitForFinished(-1) && l_progress.exitStatus() == QProcess::NormalExit
               ? l_progress.exitCode()
               : 1;
}
