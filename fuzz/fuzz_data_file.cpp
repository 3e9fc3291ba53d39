#include "Data.h"
#include "DataSaver.h"
#include "FuzzChecks.h"
#include "FuzzClient.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
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
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance();
    // Saving syncs every file: in memory that costs nothing.
    const QString l_memory = QStringLiteral("/dev/shm");
    gp_folder = std::make_unique<QTemporaryDir>(
        QDir(l_memory).exists() ? l_memory + QStringLiteral("/fuzz_data_file-XXXXXX")
                                : QDir::tempPath() + QStringLiteral("/fuzz_data_file-XXXXXX"));
    Require(gp_folder->isValid(), "a temporary folder");
    return 0;
}

// The data file as the client finds it at start-up, loaded into an empty store with the types
// and saved types that the client's services declare. A file that loads must save, and the
// saved file must load and save again to the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    const QString l_input = gp_folder->filePath(QStringLiteral("input"));
    const QString l_first = gp_folder->filePath(QStringLiteral("first"));
    const QString l_second = gp_folder->filePath(QStringLiteral("second"));
    {
        QFile l_file(l_input);
        Require(l_file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    l_file.write(reinterpret_cast<const char*>(ip_data), qint64(i_size)) ==
                        qint64(i_size),
                "the input is written to a file");
    }

    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ClearStore();
    if (Load(l_input))
    {
        dataSaver->Save(l_first);
        l_client.ClearStore();
        Require(Load(l_first), "a saved file loads");
        dataSaver->Save(l_second);
        Require(ReadAll(l_first) == ReadAll(l_second), "a saved file loads and saves unchanged");
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
