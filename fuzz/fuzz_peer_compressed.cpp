#include "FileInfo.h"
#include "FileInfoMap.h"
#include "ItemBudget.h"
#include "PeerScene.h"

#include <list>
#include <string>

namespace
{
// Whether the content, compressed by bob, is a message that the client must accept: a share list
// whose folders read whole, or search results from bob whose files read whole.
bool Readable(quint32 i_code, const std::uint8_t* ip_content, std::size_t i_size)
{
    MemStream l_content;
    l_content.WriteBuffer(ip_content, i_size);
    if (i_code == 5)
    {
        FileInfoMap l_share;
        return l_content.Read(l_share);
    }
    std::string l_sender;
    quint32 l_token = 0;
    std::list<FileInfo> l_files;
    return l_content.Read(l_sender) && l_sender == "bob" && l_content.Read(l_token) &&
           l_content.Read(l_files);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance().ListenForPeers();
    return 0;
}

// The compressed bodies of a share list (code 5), asked for, and of search results (code 9) from
// "bob", on bob's messaging connection. The first byte of the input chooses: bit 0 the code (set:
// 9), bit 1 whether the rest is the zlib stream itself (set) or the content that bob compresses, at
// the level of the remaining bits (modulo 10). Search results count only for the client's search
// under token 1 (see PeerScene.h). The store may not hold more items than the body justifies (see
// ItemBudget.h). Each input starts from an empty store.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size == 0)
        return 0;
    const quint32 l_code = (ip_data[0] & 1) != 0 ? 9 : 5;
    const bool l_raw = (ip_data[0] & 2) != 0;
    const int l_level = (ip_data[0] >> 2) % 10;
    MemStream l_message;
    if (l_raw)
    {
        l_message.Write(l_code);
        l_message.WriteBuffer(ip_data + 1, i_size - 1);
    }
    else
        l_message = PeerScene::Compressed(l_code, ip_data + 1, i_size - 1, l_level);

    FuzzClient& l_client = FuzzClient::Instance();
    PeerMessenger& l_messenger = l_client.Messenger();
    PeerDialer l_bob;
    QTcpSocket* lp_socket = PeerScene::BobConnects(l_bob);
    // The message as framed: its length word and code, then the stream.
    ItemBudget l_budget;
    l_budget.ChargeCompressed(8,
                              reinterpret_cast<const std::uint8_t*>(l_message.GetReadBuffer()) + 4,
                              std::size_t(l_message.GetPendingReadLength()) - 4);
    if (l_code == 5)
        l_messenger.GetUserSharedFiles("bob");
    const bool l_accepted = l_messenger.HandleMessage(lp_socket, l_message);
    l_budget.Check();
    Require(l_accepted || l_raw || !Readable(l_code, ip_data + 1, i_size - 1),
            "a readable compressed message is accepted");
    if (!l_accepted)
        PeerScene::Drop(lp_socket);
    l_bob.Close();
    l_client.ResetStore();
    return 0;
}
