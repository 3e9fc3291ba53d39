// Measures the shared-folder index on real folders: for 25,000 and then 100,000 empty files (100
// per folder, names of several words), the first scan, a rescan with nothing changed, a rescan
// after 1 % more files, the case-insensitive lookup of every file by path, and the access check
// of every file. Each figure is printed per file, so equal figures at both sizes mean the cost
// grows in proportion to the files. Memory is the growth of the peak resident size per file.

#include "Data.h"
#include "SharingFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace
{
constexpr int FilesPerFolder = 100;

// The peak resident size so far.
long PeakResidentKiB()
{
    rusage l_usage{};
    getrusage(RUSAGE_SELF, &l_usage);
    return l_usage.ru_maxrss;
}

double Microseconds(const QElapsedTimer& i_timer)
{
    return double(i_timer.nsecsElapsed()) / 1000;
}

QString FolderName(int i_folder)
{
    return QStringLiteral("Artist %1/Album %2").arg(i_folder / 10).arg(i_folder % 10);
}

QString FileName(int i_file)
{
    return QStringLiteral("%1 - Track Title %2.flac").arg(i_file % FilesPerFolder).arg(i_file);
}

// Empty files: the index reads names and sizes only.
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

void Print(const char* ip_what, int i_files, double i_microseconds)
{
    std::printf("%-40s %8d files %10.0f ms %8.2f us/file\n", ip_what, i_files,
                i_microseconds / 1000, i_microseconds / i_files);
}

void Measure(SharingFixture& i_fixture, int i_files)
{
    SharedFoldersManager& l_manager = i_fixture.Manager();
    QTemporaryDir l_disk;
    const QString l_root = l_disk.filePath(QStringLiteral("share"));
    std::vector<std::string> l_paths = MakeFiles(l_root, 0, i_files);

    const long l_before = PeakResidentKiB();
    QElapsedTimer l_scan;
    l_scan.start();
    d.GetType("shared_folder")->GetItem(l_root.toStdString());
    Print("first scan", i_files, Microseconds(l_scan));
    std::printf("%-40s %8d files %10ld KiB %8.0f B/file\n", "memory of the index", i_files,
                PeakResidentKiB() - l_before, (PeakResidentKiB() - l_before) * 1024.0 / i_files);

    QElapsedTimer l_rescan;
    l_rescan.start();
    l_manager.RescanShares();
    Print("rescan, nothing changed", i_files, Microseconds(l_rescan));

    MakeFiles(l_root, i_files, i_files / 100);
    QElapsedTimer l_grown;
    l_grown.start();
    l_manager.RescanShares();
    Print("rescan, 1 % more files", i_files, Microseconds(l_grown));

    QElapsedTimer l_lookup;
    l_lookup.start();
    int l_found = 0;
    for (const std::string& l_path : l_paths)
        l_found += l_manager.GetSharedFileItem(l_path).IsNull() ? 0 : 1;
    Print("lookup by path, other letter case", i_files, Microseconds(l_lookup));
    if (l_found != i_files)
        qFatal("found %d of %d files", l_found, i_files);

    ItemPtr(d.GetType("shared_folder")->HasItem(l_root.toStdString())) +=
        d.GetType("shared_public")->GetGlobalNullItem();
    QElapsedTimer l_access;
    l_access.start();
    int l_shared = 0;
    for (Item* lp_file : g("shared_file"))
        l_shared += l_manager.IsFileSharedWithUser(lp_file, "someone") ? 1 : 0;
    Print("access check of every file", l_shared, Microseconds(l_access));

    ItemPtr(d.GetType("shared_folder")->HasItem(l_root.toStdString())).Remove();
    l_manager.RescanShares();
}
} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_application(i_argc, ip_argv);
    SharingFixture l_fixture;
    l_fixture.Manager().Init();
    for (int l_files : {25000, 100000})
        Measure(l_fixture, l_files);
    return 0;
}
