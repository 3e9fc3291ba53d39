#include "FuzzClient.h"
#include "GeneralFunctions.h"
#include "TransferPaths.h"
#include "TransferQueueManager.h"

#include <QDir>
#include <QRegularExpression>

#include <string>

namespace
{
QString DiskPath(QString i_path)
{
    return i_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// A name that stays where it is put: no separator, no control character, not "." or "..".
void CheckComponent(const QString& i_name)
{
    const QString l_folder = QStringLiteral("/d");
    const QString l_path = l_folder + QLatin1Char('/') + i_name;
    Require(QDir::cleanPath(l_path) == l_path && IsPathBelowFolder(l_path, l_folder),
            "a safe name stays in its folder");
    for (QChar l_char : i_name)
        Require(l_char.unicode() >= 0x20 && l_char.unicode() != 0x7f, "a safe name has no control");
    Require(std::size_t(i_name.toUtf8().size()) <= maxNameBytes, "a safe name fits a file system");
}

// The levels of a folder: its components between separators, empty ones not counted.
qsizetype Levels(const QString& i_folder)
{
    return i_folder.split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts).size();
}

// The folder and the path stay below the download folder and name themselves: cleaning them
// changes nothing.
void CheckPlaced(const QString& i_path, const QString& i_downloads)
{
    Require(QDir::cleanPath(i_path) == i_path, "a download's path is clean");
    Require(IsPathBelowFolder(i_path, i_downloads), "a download's path is in the download folder");
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance();
    return 0;
}

// A download as another user's list names it: the first byte is the subfolder save level
// (signed), the second the length of the file name, which follows; the rest is the remote folder.
// Each name made safe stays in its folder, also with a number added; the download's folders and
// paths stay in the download folder; its partial folder, made on disk and left empty, goes
// again when the download is done with, down to the "downloading" folder.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size < 2)
        return 0;
    const int l_level = static_cast<std::int8_t>(ip_data[0]);
    const std::size_t l_nameLength = std::min<std::size_t>(ip_data[1], i_size - 2);
    const char* lp_bytes = reinterpret_cast<const char*>(ip_data + 2);
    const std::string l_name(lp_bytes, l_nameLength);
    const std::string l_folder(lp_bytes + l_nameLength, i_size - 2 - l_nameLength);

    const std::string l_safe = SafePathComponent(l_name);
    const QString l_safeText = FromUtf8(l_safe);
    CheckComponent(l_safeText);
    CheckComponent(NumberedFileName(l_safeText, l_level + 2));

    FuzzClient& l_client = FuzzClient::Instance();
    TransferQueueManager& l_transfers = l_client.Transfers();
    const QString& l_downloads = l_client.DownloadFolder();
    ItemPtr l_download = l_transfers.AddDownload("bob", l_name, l_folder, 1, l_level);
    for (bool l_complete : {false, true})
    {
        CheckPlaced(DiskPath(l_transfers.GetDownloadTargetFolder(l_download, l_complete)),
                    l_downloads);
        CheckPlaced(DiskPath(l_transfers.GetDownloadTargetPath(l_download, l_complete)),
                    l_downloads);
    }
    // The save level keeps at most the remote folder's own levels, each once.
    const qsizetype l_kept = Levels(l_transfers.GetDownloadRelativeDownloadFolder(l_download));
    Require(l_kept <= std::max(l_level + 1, 0) && l_kept <= Levels(FromUtf8(l_folder)),
            "the save level keeps no more levels than the remote folder has");
    const QString l_partialFolder =
        DiskPath(l_transfers.GetDownloadTargetFolder(l_download, false));
    QDir().mkpath(l_partialFolder);
    l_transfers.SetDownloadEntryStatus(l_download, "complete");
    l_transfers.RemoveDownloadDownloadingFolderIfAppropriate(l_download);
    Require(QDir(l_downloads + QStringLiteral("/downloading"))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
                .isEmpty(),
            "the partial folder goes when its download is done with");
    l_client.ResetStore();
    return 0;
}
