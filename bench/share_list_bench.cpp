// Measures the answer to a whole file-list request for an index of 200,000 files in 2,000
// folders under one public shared folder (every other file an mp3 with its bitrate): the first
// request, which walks and compresses the index, a repeated request, the first request of
// another visibility (a user on the user list, who also sees a second, small shared folder), and
// the first request after one file's bitrate changed.

#include "Data.h"
#include "SharingFixture.h"
#include "StoreFunctions.h"
#include "TestSettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <string>

namespace
{
constexpr int Files = 200000;
constexpr int FilesPerFolder = 100;
constexpr int Repeats = 20;

ItemPtr MakeShare(const std::string& i_root, int i_files)
{
    ItemPtr l_share = d.GetType("shared_folder")->GetItem(i_root);
    ItemPtr l_folder;
    for (int l_file = 0; l_file < i_files; ++l_file)
    {
        if (l_file % FilesPerFolder == 0)
        {
            const int l_index = l_file / FilesPerFolder;
            l_folder = d.GetType("shared_file_folder")
                           ->GetItem(i_root + "/Artist " + std::to_string(l_index / 10) +
                                     "/Album " + std::to_string(l_index % 10));
            l_share += l_folder;
        }
        const bool l_mp3 = l_file % 2 == 0;
        ItemPtr l_item = l_folder.NewItem("shared_file");
        l_item += d.GetType("shared_file_name")
                      ->GetItem(std::to_string(l_file % FilesPerFolder) + " - Track Title " +
                                std::to_string(l_file) + (l_mp3 ? ".mp3" : ".flac"));
        l_item += d.GetType("shared_file_size")->GetItem(Value(3000000 + l_file));
        if (l_mp3)
        {
            SetValue(l_item, "bitrate", 128 + 32 * (l_file % 7));
            SetValue(l_item, "bitrate_mode", l_file % 3 == 0 ? "vbr" : "cbr");
        }
    }
    return l_share;
}

// Times i_repeats requests of the user and prints their mean and the size of the message.
void Request(const char* ip_what, const char* ip_user, int i_repeats = 1)
{
    qint32 l_bytes = 0;
    QElapsedTimer l_timer;
    l_timer.start();
    for (int l_repeat = 0; l_repeat < i_repeats; ++l_repeat)
        l_bytes =
            sharedFoldersManager->GetSharedFilesMessage(ip_user).value().GetPendingReadLength();
    std::printf("%-46s %10.2f ms %10d bytes\n", ip_what,
                double(l_timer.nsecsElapsed()) / 1e6 / i_repeats, l_bytes);
}
} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_application(i_argc, ip_argv);
    SharingFixture l_fixture;
    MakeShare("/srv/share", Files) += d.GetType("shared_public")->GetGlobalNullItem();
    MakeShare("/srv/friends", FilesPerFolder) += d.GetType("shared_userlist")->GetGlobalNullItem();
    ItemPtr(d.GetType("user")->GetItem("friend")).NewItem("in_user_list");
    std::printf("index of %d files\n", Files);

    Request("first request", "someone");
    Request("repeated request (mean of 20)", "someone else", Repeats);
    Request("first request of another visibility", "friend");
    Request("repeated request of that visibility", "friend", Repeats);

    Item* lp_file = *d.GetType("shared_file")->GetItems().begin();
    SetValue(lp_file, "bitrate", 999);
    Request("first request after a change", "someone");
    Request("repeated request after a change", "someone", Repeats);
    return 0;
}
