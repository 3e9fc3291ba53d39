#include "Data.h"
#include "FuzzChecks.h"
#include "FuzzClient.h"
#include "ItemBudget.h"
#include "MemStream.h"
#include "PeerDialer.h"
#include "PeerMessenger.h"
#include "PeerScene.h"

#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace
{
// Messages whose body after the code is a zlib stream.
constexpr quint32 shareListCode = 5;
constexpr quint32 searchResultsCode = 9;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ListenForPeers();
    l_client.ResetStore();
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
    std::size_t l_offset = 0;
    while (i_size - l_offset >= 4)
    {
        const std::size_t l_length = std::min<std::size_t>(
            qFromLittleEndian<quint32>(ip_data + l_offset), i_size - l_offset - 4);
        const std::uint8_t* lp_record = ip_data + l_offset + 4;
        l_offset += 4 + l_length;
        const quint32 l_code = l_length >= 4 ? qFromLittleEndian<quint32>(lp_record) : 0;
        if (l_length >= 4 && (l_code == shareListCode || l_code == searchResultsCode))
            l_budget.ChargeCompressed(8, lp_record + 4, l_length - 4);
        else
            l_budget.Charge(4 + l_length);
        MemStream l_message;
        l_message.WriteBuffer(lp_record, l_length);
        const bool l_handled = l_messenger.HandleMessage(lp_socket, l_message);
        l_budget.Check();
        if (!l_handled)
        {
            lp_socket->disconnect();
            l_messenger.DisposeOfSocket(lp_socket);
            break;
        }
        // Replies leave, and what the handler queued runs.
        l_bob.Drain();
        l_budget.Check();
        if (!d.GetType("peer_socket")->HasItem(Value(lp_socket)))
            break;
    }
    l_bob.Close();
    l_client.ResetStore();
    return 0;
}
