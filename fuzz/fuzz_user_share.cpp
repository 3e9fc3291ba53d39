#include "FileInfoMap.h"
#include "PeerScene.h"
#include "SharedFoldersManager.h"

#include <zlib.h>

namespace
{
// What the peer layer handed to the sharing service for the current input.
bool g_emitted = false;
std::size_t g_folders = 0;
std::size_t g_files = 0;

// Small caps, so that inputs of a few kilobytes reach the refusal too.
constexpr SharedFoldersManager::UserShareLimits limits{64, 256};

std::size_t Count(const char* ip_type)
{
    return d.GetType(ip_type)->ItemCount();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ListenForPeers();
    sharedFoldersManager->SetUserShareLimits(limits);
    QObject::connect(&l_client.Messenger(), &PeerMessenger::UserShare,
                     [](std::string, FileInfoMap& i_share, AttributeTranslationTable&)
                     {
                         g_emitted = true;
                         g_folders = i_share.size();
                         g_files = 0;
                         for (const auto& l_folder : i_share)
                             g_files += l_folder.second.size();
                     });
    return 0;
}

// The content of a share list (code 5) from "bob", which bob compresses, on bob's messaging
// connection, asked for: what the peer layer reads of it becomes bob's list in the store, whole and
// linked as a tree, or nothing when it passes the caps; removing the list leaves nothing of it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    MemStream l_message = PeerScene::Compressed(5, ip_data, i_size, 1);

    FuzzClient& l_client = FuzzClient::Instance();
    PeerMessenger& l_messenger = l_client.Messenger();
    PeerDialer l_bob;
    QTcpSocket* lp_socket = PeerScene::BobConnects(l_bob);

    g_emitted = false;
    l_messenger.GetUserSharedFiles("bob");
    const bool l_accepted = l_messenger.HandleMessage(lp_socket, l_message);
    const bool l_kept = g_emitted && g_folders <= limits.m_folders && g_files <= limits.m_files;
    ItemPtr l_share = d.GetType("user")->HasItem("bob")["user_share"];
    Require(l_kept == !l_share.IsNull(), "a list within the caps is kept, any other is not");
    Require(!l_kept || l_share.IsConnected("user_share_loaded"), "a kept list is marked loaded");
    Require(Count("user_share_folder") == (l_kept ? g_folders : 0), "every folder is kept");
    Require(Count("user_share_file") == (l_kept ? g_files : 0), "every file is kept");
    Require(Count("user_share_folder_parent") == Count("user_share_folder_child") &&
                Count("user_share_folder_parent") <= Count("user_share_folder"),
            "each folder has at most one parent, linked both ways");
    sharedFoldersManager->RemoveUserShare("bob");
    for (const char* lp_type : {"user_share", "user_share_folder", "user_share_file",
                                "user_share_folder_parent", "user_share_folder_child"})
        Require(Count(lp_type) == 0, "removing the list leaves nothing of it");

    if (!l_accepted)
        PeerScene::Drop(lp_socket);
    l_bob.Close();
    l_client.ResetStore();
    return 0;
}
