#include "TransferHarness.h"

#include "Data.h"
#include "PeerHarness.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "TransferThread.h"

TransferHarness::TransferHarness()
    : mp_peers(std::make_unique<PeerHarness>()),
      mp_manager(std::make_unique<TransferQueueManager>()),
      mp_bob(std::make_unique<TransferPeer>(*mp_peers, "bob")),
      mp_carol(std::make_unique<TransferPeer>(*mp_peers, "carol"))
{
    sharedFoldersManager->SetUploadStateProvider(&TransferQueueManager::CurrentUploadState);
}

TransferHarness::~TransferHarness() = default;

void TransferHarness::Reset(bool i_usersOnline)
{
    TransferThread::SetWaitMilliseconds(TransferThread::DefaultWaitMilliseconds);
    for (TransferPeer* lp_peer : {mp_bob.get(), mp_carol.get()})
    {
        lp_peer->SetOnline(i_usersOnline);
        lp_peer->Forget();
    }
}

std::string TransferHarness::Status(ItemPtr i_entry, const char* ip_type)
{
    return i_entry[ip_type].AsString();
}
