#include "CentralStandIn.h"
#include "DNetManager.h"
#include "PeerScene.h"
#include "Server.h"

#include <QPointer>

namespace
{
constexpr int distributedServerCode = 93;

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
    FuzzClient& l_client = FuzzClient::Instance();
    l_client.LogIn();
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

    ForEachRecord(ip_data, i_size,
                  [&](const std::uint8_t* ip_record, std::size_t i_length)
                  {
                      if (i_length == 0)
                          return true;
                      MemStream l_message;
                      l_message.WriteBuffer(ip_record + 1, i_length - 1);
                      if (ip_record[0] % 3 == 0)
                          l_client.Client().HandleMessage(distributedServerCode, l_message);
                      else if (ip_record[0] % 3 == 1 && lp_parent && lp_parent->isOpen())
                          l_node.HandleMessage(lp_parent, l_message);
                      else if (ip_record[0] % 3 == 2 && lp_child && lp_child->isOpen())
                          l_node.HandleChildMessage(lp_child, l_message);
                      // What the node sent leaves, and what it queued runs.
                      l_dan.Drain();
                      l_kid.Drain();
                      return true;
                  });
    l_client.Central().Drain();
    l_dan.Close();
    l_kid.Close();
    l_client.ResetStore();
    return 0;
}
