#include "PeerScene.h"

#include "ItemPtr.h"
#include "PeerObfuscation.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"

#include <zlib.h>

#include <string>
#include <vector>

namespace
{
constexpr quint32 frameKey = 0x5eed5eed;

// As ConnectToUser leaves it when the user has no address yet: the attempt, and its relayed
// request waiting for the user to connect.
void PlantRelayedRequest(quint32 i_token, const char* ip_user, const char* ip_type)
{
    ItemPtr l_user = TypeOf("user")->GetItem(ip_user);
    ItemPtr l_type = TypeOf("peer_connection_type")->GetItem(ip_type);
    ItemPtr l_request = TypeOf("connect_to_peer_request")->NewItem();
    l_request += l_user;
    l_request += l_type;
    l_request += TypeOf("connect_to_peer_request_status")->GetItem("getting_address");
    ItemPtr l_relayed = TypeOf("indirect_connect_to_peer_request")->GetItem(Value(i_token));
    l_request += l_relayed;
    l_relayed += l_user;
    l_relayed += l_type;
}

QByteArray Framed(MemStream& i_body, bool i_obfuscated)
{
    return PeerObfuscation::Frame(i_body.GetReadBuffer(), i_body.GetPendingReadLength(),
                                  i_obfuscated, frameKey);
}
} // namespace

void PeerScene::Plant()
{
    PlantRelayedRequest(messagingToken, "ann", "P");
    PlantRelayedRequest(fileToken, "fay", "F");
    PlantRelayedRequest(distributedToken, "dan", "D");
    ItemPtr l_search = TypeOf("search_request")->NewItem(Value(searchToken));
    l_search += TypeOf("search_request_text")->GetItem("query");
    for (const char* lp_user : {"bob", "eve"})
    {
        ItemPtr l_download = FuzzClient::Instance().Transfers().AddDownload(
            lp_user, "f.bin", "..\\up", downloadSize, 1);
        l_download += TypeOf("remote_transfer_req")->GetItem(Value(transferToken));
    }
    ItemPtr l_shared = TypeOf("shared_folder")->GetItem("/share");
    l_shared += TypeOf("shared_public")->GetGlobalNullItem();
    ItemPtr l_folder = TypeOf("shared_file_folder")->GetItem("/share/music");
    l_shared += l_folder;
    ItemPtr l_file = l_folder.NewItem("shared_file");
    l_file += TypeOf("shared_file_name")->GetItem("song.mp3");
    l_file += TypeOf("shared_file_size")->GetItem(Value(qint64(1000)));
}

QByteArray PeerScene::DirectFirstMessage(const char* ip_user, const char* ip_type,
                                         bool i_obfuscated)
{
    MemStream l_body;
    l_body.Write(quint8(1));
    l_body.Write(std::string(ip_user));
    l_body.Write(std::string(ip_type));
    l_body.Write(quint32(0));
    return Framed(l_body, i_obfuscated);
}

QByteArray PeerScene::RelayedFirstMessage(quint32 i_token, bool i_obfuscated)
{
    MemStream l_body;
    l_body.Write(quint8(0));
    l_body.Write(i_token);
    return Framed(l_body, i_obfuscated);
}

QTcpSocket* PeerScene::BobConnects(PeerDialer& i_bob)
{
    PeerMessenger& l_messenger = FuzzClient::Instance().Messenger();
    Plant();
    Require(i_bob.Dial(l_messenger.ListeningPort()), "the client accepts bob's connection");
    i_bob.Send(DirectFirstMessage("bob", "P", false));
    ItemPtr l_user = d.GetType("user")->HasItem("bob");
    Require(!l_user.IsNull(), "bob is known");
    const ItemSet l_sockets = l_user.GetItems("peer_socket");
    Require(l_sockets.size() == 1, "bob's messaging connection is open");
    l_user.NewItem("is_online");
    i_bob.Drain();
    return ItemPtr(l_sockets.front()).AsPtr<QTcpSocket>();
}

void PeerScene::Drop(QTcpSocket* ip_socket)
{
    ip_socket->disconnect();
    FuzzClient::Instance().Messenger().DisposeOfSocket(ip_socket);
}

MemStream PeerScene::Compressed(quint32 i_code, const std::uint8_t* ip_data, std::size_t i_size,
                                int i_level)
{
    MemStream l_message;
    l_message.Write(i_code);
    uLongf l_length = compressBound(uLong(i_size));
    std::vector<Bytef> l_stream(l_length);
    Require(compress2(l_stream.data(), &l_length, ip_data, uLong(i_size), i_level) == Z_OK,
            "the content compresses");
    l_message.WriteBuffer(l_stream.data(), l_length);
    return l_message;
}
