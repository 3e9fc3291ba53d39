#include "DataSaver.h"
#include "FuzzClient.h"
#include "StoreFunctions.h"
#include "TransferPaths.h"
#include "TransferQueueManager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace
{
std::unique_ptr<QTemporaryDir> gp_folder;

QByteArray ReadAll(const QString& i_path)
{
    QFile l_file(i_path);
    Require(l_file.open(QIODevice::ReadOnly), "a saved file can be read");
    return l_file.readAll();
}

bool Load(const QString& i_path)
{
    try
    {
        dataSaver->Load(i_path);
    }
    catch (const DataLoadFailure&)
    {
        return false;
    }
    return true;
}

// Whatever names a damaged file gives the downloads, their files stay in the download folder.
void CheckDownloadPaths()
{
    TransferQueueManager& l_transfers = FuzzClient::Instance().Transfers();
    const QString& l_folder = FuzzClient::Instance().DownloadFolder();
    SetSetting("download_folder", l_folder);
    for (Item* lp_download : d.GetType("download_entry")->GetItems())
        for (bool l_complete : {false, true})
        {
            QString l_path = l_transfers.GetDownloadTargetPath(lp_download, l_complete);
            Require(
                IsPathBelowFolder(l_path.replace(QLatin1Char('\\'), QLatin1Char('/')), l_folder),
                "a download's file stays in the download folder");
        }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance();
    // Saving syncs every file: in memory that costs nothing.
    gp_folder = std::make_unique<QTemporaryDir>(FuzzClient::TemporaryTemplate("fuzz_data_file"));
    Require(gp_folder->isValid(), "a temporary folder");
    return 0;
}

// The data file as the client finds it at start-up, loaded into an empty store with the types
// and saved types that the client's services declare, whose handlers of the loaded data run. A
// file that loads must save, and the saved file must load and save again to the same bytes; the
// downloads it holds, placed in the fuzz client's download folder, keep their files there.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    const QString l_input = gp_folder->filePath(QStringLiteral("input"));
    const QString l_first = gp_folder->filePath(QStringLiteral("first"));
    const QString l_second = gp_folder->filePath(QStringLiteral("second"));
    FuzzClient::WriteInput(l_input, ip_data, i_size);

    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ClearStore();
    if (Load(l_input))
    {
        dataSaver->Save(l_first);
        l_client.ClearStore();
        Require(Load(l_first), "a saved file loads");
        dataSaver->Save(l_second);
        Require(ReadAll(l_first) == ReadAll(l_second), "a saved file loads and saves unchanged");
        CheckDownloadPaths();
        // The collector runs over what was loaded, as the client runs it every five minutes.
        d.RemoveDisconnectedItems();
    }
    l_client.ClearStore();

    // The copies aside of damaged files and the saved files go, so that every input finds the
    // folder empty.
    QDir l_folder(gp_folder->path());
    for (const QString& l_name : l_folder.entryList(QDir::Files))
        l_folder.remove(l_name);
    return 0;
}
