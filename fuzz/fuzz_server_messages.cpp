#include "CentralStandIn.h"
#include "FuzzClient.h"
#include "ItemBudget.h"
#include "Server.h"
#include "TestSettings.h"

namespace
{
// The client logged in, with the settings of a fresh login: the store is empty after each input.
void PrepareLoggedInClient()
{
    FuzzClient::Instance().LogIn();
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
    ForEachRecord(ip_data, i_size,
                  [&](const std::uint8_t* ip_record, std::size_t i_length)
                  {
                      MemStream l_message;
                      l_message.WriteBuffer(ip_record, i_length);
                      quint32 l_code = 0;
                      l_message.Read(l_code);
                      l_budget.Charge(4 + i_length);
                      l_server.HandleMessage(int(l_code), l_message);
                      l_budget.Check();
                      return true;
                  });
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
