// Saves and loads a store of 1,000,000 items and 2,000,000 connections, and compares both with
// writing (and flushing to disk) and reading the same number of bytes as one plain buffer, and
// the load with building the same store through the store's own calls, which a load repeats.

#include "Data.h"
#include "DataSaver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int g_users = 300000;
constexpr int g_sizes = 300000;
constexpr int g_results = 400000;
constexpr int g_runs = 5;

void Declare()
{
    Type* lp_user = d.NewType("user", true, false, true);
    Type* lp_size = d.NewType("file_size", false, false, true);
    Type* lp_result = d.NewType("search_result", true, true, false);
    lp_result->RelateToType(lp_user, Many, Many, false);
    lp_result->RelateToType(lp_size, Many, One, false);
    lp_user->RelateToType(lp_size, Many, Many, false);
}

// 1,000,000 items: users, sizes and valueless results; 2,000,000 connections: each result to
// three users and one size, and each of the first 200,000 users to two sizes.
void Fill()
{
    Type* lp_user = d.GetType("user");
    Type* lp_size = d.GetType("file_size");
    Type* lp_result = d.GetType("search_result");
    std::vector<Item*> l_users;
    std::vector<Item*> l_sizes;
    for (int l_n = 0; l_n < g_users; ++l_n)
        l_users.push_back(lp_user->NewItem(Value("user" + std::to_string(l_n))));
    for (int l_n = 0; l_n < g_sizes; ++l_n)
        l_sizes.push_back(lp_size->NewItem(Value(1000000LL + 7919LL * l_n)));
    for (int l_n = 0; l_n < g_results; ++l_n)
    {
        Item* lp_item = lp_result->NewItem();
        for (int l_k = 0; l_k < 3; ++l_k)
            lp_item->Connect(l_users[(l_n + l_k * 100003) % g_users]);
        lp_item->Connect(l_sizes[l_n % g_sizes]);
    }
    for (int l_n = 0; l_n < 200000; ++l_n)
    {
        l_users[l_n]->Connect(l_sizes[l_n]);
        l_users[l_n]->Connect(l_sizes[(l_n + 1) % g_sizes]);
    }
}

std::size_t CountItems()
{
    std::size_t l_count = 0;
    for (Type* lp_type : d.Types())
        l_count += lp_type->ItemCount();
    return l_count;
}

std::size_t CountConnections()
{
    std::size_t l_count = 0;
    for (Type* lp_type : d.Types())
        for (Item* lp_item : lp_type->GetItems())
            for (Item::Connection const& l_group : lp_item->Connections())
                l_count += l_group.m_items.size();
    return l_count / 2;
}

// Writes the bytes to a new file, flushes them to disk and renames the file into place, as a
// save does with its own bytes.
double PlainWrite(QByteArray const& i_path, std::vector<char> const& i_bytes)
{
    QElapsedTimer l_timer;
    l_timer.start();
    QByteArray const l_temporary = i_path + ".tmp";
    int const l_fd = ::open(l_temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (l_fd < 0 || ::write(l_fd, i_bytes.data(), i_bytes.size()) != ssize_t(i_bytes.size()) ||
        ::fsync(l_fd) != 0 || ::close(l_fd) != 0 ||
        ::rename(l_temporary.constData(), i_path.constData()) != 0)
        std::perror("plain write");
    return double(l_timer.nsecsElapsed()) / 1e6;
}

double PlainRead(QByteArray const& i_path, std::vector<char>& i_bytes)
{
    QElapsedTimer l_timer;
    l_timer.start();
    int const l_fd = ::open(i_path.constData(), O_RDONLY);
    if (l_fd < 0 || ::read(l_fd, i_bytes.data(), i_bytes.size()) != ssize_t(i_bytes.size()))
        std::perror("plain read");
    ::close(l_fd);
    return double(l_timer.nsecsElapsed()) / 1e6;
}

double Best(std::vector<double> const& i_times)
{
    return *std::min_element(i_times.begin(), i_times.end());
}
} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_application(i_argc, ip_argv);
    QTemporaryDir l_folder;
    QString const l_path = l_folder.filePath(QStringLiteral("data"));
    QByteArray const l_plainPath = QFile::encodeName(l_folder.filePath(QStringLiteral("plain")));

    Declare();
    DataSaver l_saver;
    l_saver.AddSavedType("user");
    l_saver.AddSavedType("file_size");
    l_saver.AddSavedType("search_result");
    QElapsedTimer l_buildTimer;
    l_buildTimer.start();
    Fill();
    double const l_build = double(l_buildTimer.nsecsElapsed()) / 1e6;
    std::printf("store: %zu items, %zu connections\n", CountItems(), CountConnections());

    std::vector<double> l_saves;
    std::vector<double> l_loads;
    std::vector<double> l_plainWrites;
    std::vector<double> l_plainReads;
    std::size_t l_fileSize = 0;
    for (int l_run = 0; l_run < g_runs; ++l_run)
    {
        QElapsedTimer l_timer;
        l_timer.start();
        l_saver.Save(l_path);
        l_saves.push_back(double(l_timer.nsecsElapsed()) / 1e6);
        l_fileSize = std::size_t(QFile(l_path).size());

        std::vector<char> l_bytes(l_fileSize, 'x');
        l_plainWrites.push_back(PlainWrite(l_plainPath, l_bytes));
        l_plainReads.push_back(PlainRead(l_plainPath, l_bytes));

        d.RemoveAllItems();
        l_timer.restart();
        l_saver.Load(l_path);
        l_loads.push_back(double(l_timer.nsecsElapsed()) / 1e6);
    }
    std::printf("after load: %zu items, %zu connections\n", CountItems(), CountConnections());

    double const l_save = Best(l_saves);
    double const l_load = Best(l_loads);
    double const l_write = Best(l_plainWrites);
    double const l_read = Best(l_plainReads);
    std::printf("file size: %zu bytes (%.1f MB)\n", l_fileSize, double(l_fileSize) / 1e6);
    std::printf("save: %.1f ms   plain write + fsync + rename: %.1f ms   ratio %.2fx (aim 3x)\n",
                l_save, l_write, l_save / l_write);
    std::printf("load: %.1f ms   plain read: %.1f ms\n", l_load, l_read);
    // The store's memory is fresh only the first time, as at start-up, the load a user waits for.
    std::printf("first load, into memory new to the process: %.1f ms (%.0fx)\n", l_loads.front(),
                l_loads.front() / l_read);
    std::printf("aim: load against a plain read of the same bytes: %.0fx (aim 50x): %s\n",
                l_load / l_read, l_load / l_read <= 50 ? "met" : "not met");
    std::printf("building the same store through the store's own calls: %.1f ms; load / build "
                "%.2fx\n",
                l_build, l_load / l_build);
    std::printf("best of %d runs\n", g_runs);
    return 0;
}
