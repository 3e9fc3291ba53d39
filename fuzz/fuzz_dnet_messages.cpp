#include "CentralStandIn.h"
#include "DNetManager.h"
#include "Data.h"
#include "FuzzChecks.h"
#include "FuzzClient.h"
#include "MemStream.h"
#include "PeerDialer.h"
#include "PeerMessenger.h"
#include "PeerScene.h"
#include "Server.h"

#include <QPointer>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace
{
constexpr int distributedServerCode = 93;

// The client logged in, with nothing else in the store.
void PrepareLoggedInClient()
{
    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ResetStore();
    l_client.LogIn();
}

// The node's socket of the only item of the type.
QTcpSocket* OnlySocket(const char* ip_type)
{
    const ItemSet l_items = d.GetType(ip_type)->GetItems();
    Require(l_items.size() == 1, "the node takes the connection");
    return ItemPtr(l_items.front()).AsPtr<QTcpSocket>();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance().ListenForPeers();
    PrepareLoggedInClient();
    return 0;
}

// Distributed messages handed straight to the node's handlers, in a logged-in client whose node
// has a parent candidate ("dan", answering the client's relayed request) and a child ("kid",
// connected directly): the input is a run of records, each a u32 length and that many bytes
// (fewer at the end). The first byte of a record says where the rest comes from: 0 the central
// server (the body of its code 93, through the server's dispatcher), 1 the candidate or, once the
// node has adopted it, the parent, 2 the child, each through its socket as long as the node keeps
// it open. The rest is the message: its code byte, then its fields. Each input starts from an
// empty store.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    PrepareLoggedInClient();
    FuzzClient& l_client = FuzzClient::Instance();
    PeerMessenger& l_messenger = l_client.Messenger();
    DNetManager& l_node = l_client.Node();
    PeerScene::Plant();
    PeerDialer l_dan;
    PeerDialer l_kid;
    Require(l_dan.Dial(l_messenger.ListeningPort()), "the client accepts dan's connection");
    l_dan.Send(PeerScene::RelayedFirstMessage(PeerScene::distributedToken, false));
    const QPointer<QTcpSocket> lp_parent = OnlySocket("dnet_parent_candidate");
    Require(l_kid.Dial(l_messenger.ListeningPort()), "the client accepts kid's connection");
    l_kid.Send(PeerScene::DirectFirstMessage("kid", "D", false));
    const QPointer<QTcpSocket> lp_child = OnlySocket("dnet_child");

    std::size_t l_offset = 0;
    while (i_size - l_offset >= 4)
    {
        const std::size_t l_length = std::min<std::size_t>(
            qFromLittleEndian<quint32>(ip_data + l_offset), i_size - l_offset - 4);
        l_offset += 4;
        const std::uint8_t* lp_record = ip_data + l_offset;
        l_offset += l_length;
        if (l_length == 0)
            continue;
        MemStream l_message;
        l_message.WriteBuffer(lp_record + 1, l_length - 1);
        switch (lp_record[0] % 3)
        {
            case 0:
                l_client.Client().HandleMessage(distributedServerCode, l_message);
                break;
            case 1:
                if (lp_parent && lp_parent->isOpen())
                    l_node.HandleMessage(lp_parent, l_message);
                break;
            default:
                if (lp_child && lp_child->isOpen())
                    l_node.HandleChildMessage(lp_child, l_message);
                break;
        }
        // What the node sent leaves, and what it queued runs.
        l_dan.Drain();
        l_kid.Drain();
    }
    l_client.Central().Drain();
    l_dan.Close();
    l_kid.Close();
    l_client.ResetStore();
    return 0;
}
