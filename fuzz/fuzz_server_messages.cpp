#include "CentralStandIn.h"
#include "Data.h"
#include "FuzzChecks.h"
#include "FuzzClient.h"
#include "ItemBudget.h"
#include "MemStream.h"
#include "Server.h"
#include "TestSettings.h"

#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace
{
// The client logged in, with the settings of a fresh login and nothing else in the store.
void PrepareLoggedInClient()
{
    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ResetStore();
    l_client.LogIn();
    TestSettings::SetSetting("accept_room_list", "yes");
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    PrepareLoggedInClient();
    return 0;
}

// Messages from the central server handed straight to the dispatcher of a logged-in client: the
// input is a run of records as the wire frames them, each a u32 length and that many bytes (fewer
// at the end), whose first four bytes are the code and the rest the fields. The store may not hold
// more items than the records justify (see ItemBudget.h). Each input starts from an empty store.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    PrepareLoggedInClient();
    Server& l_server = FuzzClient::Instance().Client();
    ItemBudget l_budget;
    std::size_t l_offset = 0;
    while (i_size - l_offset >= 4)
    {
        const std::size_t l_length = std::min<std::size_t>(
            qFromLittleEndian<quint32>(ip_data + l_offset), i_size - l_offset - 4);
        l_offset += 4;
        MemStream l_message;
        l_message.WriteBuffer(ip_data + l_offset, l_length);
        l_offset += l_length;
        quint32 l_code = 0;
        l_message.Read(l_code);
        l_budget.Charge(4 + l_length);
        l_server.HandleMessage(int(l_code), l_message);
        l_budget.Check();
    }
    // The collector runs over whatever the messages built, as the client runs it every five
    // minutes.
    d.RemoveDisconnectedItems();
    // What the client sent in reply goes, so that nothing piles up between inputs, and what the
    // messages queued runs.
    FuzzClient::Instance().Central().Drain();
    l_budget.Check();
    FuzzClient::Instance().ResetStore();
    return 0;
}
