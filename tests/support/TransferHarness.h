#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <string>

class ItemPtr;
class PeerHarness;
class TransferPeer;
class TransferQueueManager;

// What the transfer tests share: the peer harness with the client logged in as "me", the
// client's transfer service, two other users, bob and carol, on the other side of transfers,
// and a folder of the test's own.
class TransferHarness
{
public:
    static constexpr int timeoutMs = 20000;

    TransferHarness();
    ~TransferHarness();

    PeerHarness& Peers() { return *mp_peers; }
    TransferQueueManager& Manager() { return *mp_manager; }
    TransferPeer& Bob() { return *mp_bob; }
    TransferPeer& Carol() { return *mp_carol; }
    bool IsValid() const { return m_dir.isValid(); }
    QString Path(const QString& i_relative) const
    {
        return m_dir.path() + QLatin1Char('/') + i_relative;
    }

    // Before a test: the transfer threads' usual waits, both users online or not, and every
    // message they received so far forgotten.
    void Reset(bool i_usersOnline);

    static std::string Status(ItemPtr i_entry, const char* ip_type);

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PeerHarness> mp_peers;
    std::unique_ptr<TransferQueueManager> mp_manager;
    std::unique_ptr<TransferPeer> mp_bob;
    std::unique_ptr<TransferPeer> mp_carol;
};
