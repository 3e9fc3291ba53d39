// Measures the shared-folder index on real folders of empty files (100 per folder, names of
// several words), each against a bare walk of the same tree in the same run (readdir, and one
// stat per file): the first scan of 200,000 files and the heap it holds per file, beside the
// store alone making the same items and links with no disk work, the floor of any scan; for
// 100,000 files the first scan, a rescan with nothing changed, a rescan after 1 % more files, the
// case-insensitive lookup of every file by path and the access check of every file; then the
// load of the data file that holds those 100,000 files with the sharing service's handlers, and
// without them (the service destroyed), and the start-up rescan after the load. With
// --first-scan only the first part runs, with --rescans only the others.

#include "Data.h"
#include "ProcessFigures.h"
#include "SharingFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int FilesPerFolder = 100;
constexpr int Runs = 3;

double Milliseconds(const QElapsedTimer& i_timer)
{
    return double(i_timer.nsecsElapsed()) / 1e6;
}

// The fastest of i_runs runs, in ms.
double Fastest(const std::function<void()>& i_run, int i_runs = Runs)
{
    double l_best = 0;
    for (int l_run = 0; l_run < i_runs; ++l_run)
    {
        QElapsedTimer l_timer;
        l_timer.start();
        i_run();
        l_best = l_run == 0 ? Milliseconds(l_timer) : std::min(l_best, Milliseconds(l_timer));
    }
    return l_best;
}

QString FolderName(int i_folder)
{
    return QStringLiteral("Artist %1/Album %2").arg(i_folder / 10).arg(i_folder % 10);
}

QString FileName(int i_file)
{
    return QStringLiteral("%1 - Track Title %2.flac").arg(i_file % FilesPerFolder).arg(i_file);
}

// Empty files: the index reads names and sizes only. Returns their paths in upper case.
std::vector<std::string> MakeFiles(const QString& i_root, int i_first, int i_count)
{
    std::vector<std::string> l_paths;
    for (int l_file = i_first; l_file < i_first + i_count; ++l_file)
    {
        const QString l_folder = i_root + QLatin1Char('/') + FolderName(l_file / FilesPerFolder);
        if (l_file % FilesPerFolder == 0 || l_file == i_first)
            QDir().mkpath(l_folder);
        const QString l_path = l_folder + QLatin1Char('/') + FileName(l_file);
        QFile l_out(l_path);
        if (!l_out.open(QIODevice::WriteOnly))
            qFatal("cannot create %s", qPrintable(l_path));
        l_paths.push_back(l_path.toUpper().toStdString());
    }
    return l_paths;
}

// The floor of any scan: every entry read, every file's size looked at once. Returns the files.
long Walk(const std::string& i_folder)
{
    const int l_fd = open(i_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* lp_dir = l_fd >= 0 ? fdopendir(l_fd) : nullptr;
    if (!lp_dir)
        return 0;
    long l_files = 0;
    long long l_bytes = 0;
    while (const dirent* lp_entry = readdir(lp_dir))
    {
        if (lp_entry->d_name[0] == '.')
            continue;
        if (lp_entry->d_type == DT_DIR)
        {
            l_files += Walk(i_folder + '/' + lp_entry->d_name);
            continue;
        }
        struct stat l_file;
        if (fstatat(l_fd, lp_entry->d_name, &l_file, 0) == 0)
        {
            l_bytes += l_file.st_size;
            ++l_files;
        }
    }
    closedir(lp_dir);
    return l_files + (l_bytes < 0 ? 1 : 0);
}

void Print(const char* ip_what, int i_files, double i_milliseconds)
{
    std::printf("%-44s %7d files %9.1f ms %7.2f us/file\n", ip_what, i_files, i_milliseconds,
                i_milliseconds * 1000 / i_files);
}

void Aim(const char* ip_what, double i_figure, double i_limit, const char* ip_unit)
{
    std::printf("aim: %s: %.2f%s (aim %.2f%s): %s\n", ip_what, i_figure, ip_unit, i_limit, ip_unit,
                i_figure <= i_limit ? "met" : "not met");
}

ItemPtr Share(const QString& i_folder)
{
    return d.GetType("shared_folder")->GetItem(i_folder.toStdString());
}

// As a new shared folder is scanned once the service is running; the service is not initialised
// here, so that loading the data file scans nothing, as at start-up.
void ShareAndScan(SharedFoldersManager& i_manager, const QString& i_folder)
{
    Share(i_folder);
    i_manager.AddSharedFiles(i_folder.toStdString(), i_folder.toStdString());
}

void Unshare(SharedFoldersManager& i_manager, const QString& i_folder)
{
    Share(i_folder).Remove();
    i_manager.RescanShares();
}

// The search words connected to each file of the index, on average.
double WordsPerFile()
{
    Type* lp_wordType = d.GetType("search_token");
    std::size_t l_words = 0;
    for (Item* lp_file : d.GetType("shared_file")->Items())
        if (const ItemSet* lp_held = lp_file->ConnectedItems(lp_wordType))
            l_words += lp_held->size();
    return double(l_words) /
           double(std::max<std::size_t>(1, d.GetType("shared_file")->ItemCount()));
}

// The words of the root's lowercased path, as the index splits it: at every byte that is no
// letter or digit, and again at spaces and slashes only; each once.
std::vector<std::string> RootWords(const QString& i_root)
{
    const std::string l_root = i_root.toLower().toStdString();
    std::vector<std::string> l_words;
    for (const bool l_alphanumeric : {true, false})
    {
        std::string l_word;
        for (const char l_byte : l_root + '/')
            if (l_alphanumeric ? std::isalnum(static_cast<unsigned char>(l_byte)) != 0
                               : l_byte != ' ' && l_byte != '/')
                l_word += l_byte;
            else if (!l_word.empty())
            {
                if (std::find(l_words.begin(), l_words.end(), l_word) == l_words.end())
                    l_words.push_back(l_word);
                l_word.clear();
            }
    }
    return l_words;
}

// What the store alone costs to hold what a first scan of the tree under i_root finds, nothing
// read from disk: per file its item in its folder, its name and size, and the words of its path,
// each connected once: those of the root and the fixed words of every folder and name, the
// artist's and album's numbers (looked up once a folder), the track's number, and the file's
// number alone and with its extension (its own). Returns ms, the heap those items hold per file
// and the words per file.
std::tuple<double, double, double> StoreOperations(const QString& i_root, int i_files)
{
    Type* lp_folderType = d.GetType("shared_file_folder");
    Type* lp_nameType = d.GetType("shared_file_name");
    Type* lp_sizeType = d.GetType("shared_file_size");
    Type* lp_wordType = d.GetType("search_token");
    std::vector<std::string> l_words = RootWords(i_root);
    for (const char* lp_word : {"artist", "album", "track", "title", "flac", "-"})
        l_words.emplace_back(lp_word);
    std::vector<Item*> l_shared;
    for (const std::string& l_word : l_words)
        l_shared.push_back(lp_wordType->GetItem(l_word));
    std::vector<Item*> l_folders;
    const long long l_heapBefore = ProcessFigures::HeapInUseKb();
    QElapsedTimer l_timer;
    l_timer.start();
    Item* lp_folder = nullptr;
    Item* lp_artist = nullptr;
    Item* lp_album = nullptr;
    for (int l_file = 0; l_file < i_files; ++l_file)
    {
        const int l_folderNumber = l_file / FilesPerFolder;
        if (l_file % FilesPerFolder == 0)
        {
            lp_folder = lp_folderType->GetItem("/floor/" + std::to_string(l_file));
            l_folders.push_back(lp_folder);
            lp_artist = lp_wordType->GetItem(std::to_string(l_folderNumber / 10));
            lp_album = lp_wordType->GetItem(std::to_string(l_folderNumber % 10));
        }
        ItemPtr l_item = lp_folder->NewItem("shared_file");
        const std::string l_number = std::to_string(l_file);
        l_item += lp_nameType->GetItem(FileName(l_file).toStdString());
        l_item += lp_sizeType->GetItem("0");
        for (Item* lp_word : l_shared)
            l_item += lp_word;
        l_item += lp_artist;
        l_item += lp_album;
        l_item += lp_wordType->GetItem(std::to_string(l_file % FilesPerFolder));
        l_item += lp_wordType->GetItem(l_number);
        l_item += lp_wordType->GetItem(l_number + ".flac");
    }
    const double l_elapsed = Milliseconds(l_timer);
    const double l_held = double(ProcessFigures::HeapInUseKb() - l_heapBefore) * 1024 / i_files;
    const double l_wordsPerFile = WordsPerFile();
    for (Item* lp_made : l_folders)
    {
        ItemPtr(lp_made).GetItems("shared_file").Remove();
        lp_made->Remove();
    }
    d.RemoveDisconnectedItems();
    return {l_elapsed, l_held, l_wordsPerFile};
}

// 200,000 files: the first scan against the walk, and the heap the index holds.
void FirstScan(SharedFoldersManager& i_manager, const QString& i_root, int i_files)
{
    const double l_walk = Fastest([&] { Walk(i_root.toStdString()); });
    Print("bare walk", i_files, l_walk);
    // On the same empty store as the scan after it.
    const auto [l_store, l_storeHeld, l_storeWords] = StoreOperations(i_root, i_files);
    const long long l_heapBefore = ProcessFigures::HeapInUseKb();
    QElapsedTimer l_scan;
    l_scan.start();
    ShareAndScan(i_manager, i_root);
    const double l_first = Milliseconds(l_scan);
    const double l_held = double(ProcessFigures::HeapInUseKb() - l_heapBefore) * 1024 / i_files;
    Print("first scan", i_files, l_first);
    Aim("first scan of 200,000 files against a bare walk", l_first / l_walk, 2, "x");
    Print("store operations of that scan, no disk", i_files, l_store);
    std::printf("floor of a scan, walk and store operations: %.2fx the walk\n",
                (l_walk + l_store) / l_walk);
    Aim("heap held by the index of 200,000 files per file", l_held, 1024, " B");
    std::printf("heap held by those store operations alone: %.0f B per file\n", l_storeHeld);
    std::printf("search words per file: %.2f in the index, %.2f in the store operations\n",
                WordsPerFile(), l_storeWords);
    Unshare(i_manager, i_root);
}

// 100,000 files: rescans, lookups and access checks, then the data file's load.
void Rescans(SharingFixture& i_fixture, const QString& i_root, std::vector<std::string>& i_paths,
             const QString& i_dataFile)
{
    SharedFoldersManager& l_manager = i_fixture.Manager();
    const int l_files = int(i_paths.size());
    const double l_walk = Fastest([&] { Walk(i_root.toStdString()); });
    Print("bare walk", l_files, l_walk);
    QElapsedTimer l_scan;
    l_scan.start();
    ShareAndScan(l_manager, i_root);
    Print("first scan", l_files, Milliseconds(l_scan));
    const double l_rescan = Fastest([&] { l_manager.RescanShares(); });
    Print("rescan, nothing changed", l_files, l_rescan);
    Aim("rescan of 100,000 unchanged files against a bare walk", l_rescan / l_walk, 2, "x");

    QElapsedTimer l_lookup;
    l_lookup.start();
    int l_found = 0;
    for (const std::string& l_path : i_paths)
        l_found += l_manager.GetSharedFileItem(l_path).IsNull() ? 0 : 1;
    Print("lookup by path, other letter case", l_files, Milliseconds(l_lookup));
    if (l_found != l_files)
        qFatal("found %d of %d files", l_found, l_files);

    Share(i_root) += d.GetType("shared_public")->GetGlobalNullItem();
    QElapsedTimer l_access;
    l_access.start();
    int l_shared = 0;
    for (Item* lp_file : g("shared_file"))
        l_shared += l_manager.IsFileSharedWithUser(lp_file, "someone") ? 1 : 0;
    Print("access check of every file", l_shared, Milliseconds(l_access));

    dataSaver->Save(i_dataFile);
    // The fastest of Runs loads into an empty store.
    const auto l_timedLoad = [&]
    {
        double l_best = 0;
        for (int l_run = 0; l_run < Runs; ++l_run)
        {
            d.RemoveAllItems();
            QElapsedTimer l_timer;
            l_timer.start();
            dataSaver->Load(i_dataFile);
            l_best = l_run == 0 ? Milliseconds(l_timer) : std::min(l_best, Milliseconds(l_timer));
        }
        return l_best;
    };
    l_timedLoad();
    QElapsedTimer l_startup;
    l_startup.start();
    l_manager.RescanShares();
    Print("rescan after the load (words made)", l_files, Milliseconds(l_startup));

    const int l_more = l_files / 100;
    const std::vector<std::string> l_added = MakeFiles(i_root, l_files, l_more);
    QElapsedTimer l_grown;
    l_grown.start();
    l_manager.RescanShares();
    Print("rescan, 1 % more files", l_files, Milliseconds(l_grown));
    i_paths.insert(i_paths.end(), l_added.begin(), l_added.end());

    // Without the service its types stay declared, so the file loads the same items.
    dataSaver->Save(i_dataFile);
    const double l_withMore = l_timedLoad();
    i_fixture.DestroyManager();
    const double l_without = l_timedLoad();
    Print("data file load, sharing handlers", l_files + l_more, l_withMore);
    Print("data file load, no handlers", l_files + l_more, l_without);
    Aim("data file load with the sharing handlers against without", l_withMore / l_without, 1.3,
        "x");
}
} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_application(i_argc, ip_argv);
    SharingFixture l_fixture;
    QTemporaryDir l_disk;
    const QStringList l_arguments = l_application.arguments();
    if (!l_arguments.contains(QStringLiteral("--rescans")))
    {
        const QString l_large = l_disk.filePath(QStringLiteral("large"));
        MakeFiles(l_large, 0, 200000);
        FirstScan(l_fixture.Manager(), l_large, 200000);
        QDir(l_large).removeRecursively();
    }
    if (l_arguments.contains(QStringLiteral("--first-scan")))
        return 0;

    const QString l_root = l_disk.filePath(QStringLiteral("share"));
    std::vector<std::string> l_paths = MakeFiles(l_root, 0, 100000);
    Rescans(l_fixture, l_root, l_paths, l_disk.filePath(QStringLiteral("data")));
    return 0;
}
