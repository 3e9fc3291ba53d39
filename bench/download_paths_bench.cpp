// Cost of placing a download whose subfolder save level is far larger than its remote folder is
// deep, and of one whose remote folder is very deep: the folders and paths of both, in
// progress and finished, and the removal of emptied partial folders. Each is the best of three
// rounds.
#include "Data.h"
#include "PeerHarness.h"
#include "TestSettings.h"
#include "TransferQueueManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

namespace
{
constexpr int rounds = 3;
constexpr int hugeLevel = 100000;
constexpr int deepFolders = 100000;
constexpr double aimMilliseconds = 100.0;

double PlacementMilliseconds(TransferQueueManager& i_manager, const std::string& i_folder,
                             int i_level)
{
    double l_best = std::numeric_limits<double>::max();
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        ItemPtr l_download = i_manager.AddDownload("bob", "x", i_folder, 1, i_level);
        QElapsedTimer l_timer;
        l_timer.start();
        for (bool l_complete : {false, true})
            i_manager.GetDownloadTargetPath(l_download, l_complete);
        i_manager.GetDownloadRelativeDownloadFolder(l_download);
        i_manager.SetDownloadEntryStatus(l_download, "complete");
        i_manager.RemoveDownloadDownloadingFolderIfAppropriate(l_download);
        l_best = std::min(l_best, double(l_timer.nsecsElapsed()) / 1e6);
        i_manager.RemoveDownload(l_download);
    }
    return l_best;
}

void Aim(const char* ip_what, double i_milliseconds)
{
    std::printf("aim: %s: %.2f ms (aim %.0f ms): %s\n", ip_what, i_milliseconds, aimMilliseconds,
                i_milliseconds <= aimMilliseconds ? "met" : "not met");
}
} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_application(i_argc, ip_argv);
    QTemporaryDir l_dir;
    PeerHarness l_harness;
    TransferQueueManager l_manager;
    TestSettings::SetSetting("download_folder", l_dir.path() + QStringLiteral("/D"));

    Aim("placement at save level 100,000 of a folder 2 deep",
        PlacementMilliseconds(l_manager, "C:\\music", hugeLevel));
    std::string l_deep;
    for (int l_level = 0; l_level < deepFolders; ++l_level)
        l_deep += l_level == 0 ? "a" : "\\a";
    Aim("placement at save level 100,000 of a folder 100,000 deep",
        PlacementMilliseconds(l_manager, l_deep, hugeLevel));
    return 0;
}
