#include "ItemBudget.h"
#include "PeerScene.h"

namespace
{
// Messages whose body after the code is a zlib stream.
constexpr quint32 shareListCode = 5;
constexpr quint32 searchResultsCode = 9;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance().ListenForPeers();
    return 0;
}

// Peer messages from "bob" handed straight to the messenger's handler, on the client's socket of
// a messaging connection that bob opened: the input is a run of records as the wire frames them,
// each a u32 length and that many bytes (fewer at the end), whose first four bytes are the code
// and the rest the fields. A record that the handler refuses ends the connection, as the reading
// loop ends it, and the rest of the input. The store may not hold more items than the records
// justify (see ItemBudget.h). Each input starts from an empty store with a search of
// the client made under token 1 (see PeerScene.h).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    FuzzClient& l_client = FuzzClient::Instance();
    PeerMessenger& l_messenger = l_client.Messenger();
    PeerDialer l_bob;
    QTcpSocket* lp_socket = PeerScene::BobConnects(l_bob);

    ItemBudget l_budget;
    ForEachRecord(ip_data, i_size,
                  [&](const std::uint8_t* ip_record, std::size_t i_length)
                  {
                      const quint32 l_code =
                          i_length >= 4 ? qFromLittleEndian<quint32>(ip_record) : 0;
                      if (i_length >= 4 && (l_code == shareListCode || l_code == searchResultsCode))
                          l_budget.ChargeCompressed(8, ip_record + 4, i_length - 4);
                      else
                          l_budget.Charge(4 + i_length);
                      // A share list is read only when asked for.
                      if (l_code == shareListCode)
                          l_messenger.GetUserSharedFiles("bob");
                      MemStream l_message;
                      l_message.WriteBuffer(ip_record, i_length);
                      const bool l_handled = l_messenger.HandleMessage(lp_socket, l_message);
                      l_budget.Check();
                      if (!l_handled)
                      {
                          PeerScene::Drop(lp_socket);
                          return false;
                      }
                      // Replies leave, and what the handler queued runs.
                      l_bob.Drain();
                      l_budget.Check();
                      return !d.GetType("peer_socket")->HasItem(Value(lp_socket)).IsNull();
                  });
    l_bob.Close();
    l_client.ResetStore();
    return 0;
}
