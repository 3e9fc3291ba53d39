#pragma once

#include <memory>

class PeerHarness;
class TransferPeer;
class TransferQueueManager;

// What the transfer tests share: the peer harness with the client logged in as "me", the
// client's transfer service, and two other users, bob and carol, on the other side of transfers.
class TransferHarness
{
public:
    TransferHarness();
    ~TransferHarness();

    PeerHarness& Peers() { return *mp_peers; }
    TransferQueueManager& Manager() { return *mp_manager; }
    TransferPeer& Bob() { return *mp_bob; }
    TransferPeer& Carol() { return *mp_carol; }

    // Before a test: the transfer threads' usual waits, both users online or not, and every
    // message they received so far forgotten.
    void Reset(bool i_usersOnline);

private:
    std::unique_ptr<PeerHarness> mp_peers;
    std::unique_ptr<TransferQueueManager> mp_manager;
    std::unique_ptr<TransferPeer> mp_bob;
    std::unique_ptr<TransferPeer> mp_carol;
};
