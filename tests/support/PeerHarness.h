#pragma once

#include "ServerHarness.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <memory>

class DNetManager;
class DelayedInvoker;
class FrameClient;
class PeerMessenger;
class QTcpSocket;
class SharedFoldersManager;
class TestPeer;

// What the tests of peer connections share: the server harness with a test server that answers
// by itself (logins, addresses, relayed connection requests and their failures), a stand-in
// sharing service, the client's messenger listening on free ports of 127.0.0.1, and the client
// logged in as "me". Other users are a FrameClient logged in to the test server for each, with a
// TestPeer as their client.
//
// With Services::WholeClient it makes the client's services as the start-up of the application
// does, in its order: after the server connection and the messenger, the delayed invoker, the
// distributed network node and the sharing service; the settings are kept in the data file, and
// the data file (none when the path names no file) is loaded before the first login. The harness
// itself takes the log lines, in place of the diagnostics view.
class PeerHarness : public ServerHarness
{
    Q_OBJECT

public:
    enum class Services
    {
        Messaging,
        WholeClient
    };

    explicit PeerHarness(Services i_services = Services::Messaging,
                         const QString& i_dataFile = QString());
    ~PeerHarness() override;

    PeerMessenger& Messenger();
    // The client's connection on the test server.
    int CentralConnection() const { return m_centralConnection; }

    // Logs another user in to the test server and tells it the test peer's ports (the
    // obfuscated one as 0 when asked), so that the server hands them out and relays requests.
    std::unique_ptr<FrameClient> LogInPeer(const QByteArray& i_user, const TestPeer& i_peer,
                                           bool i_withObfuscatedPort = true,
                                           bool i_withPlainPort = true);
    // The same on the test server listening on the port, which may serve a client in another
    // process.
    static std::unique_ptr<FrameClient> LogInPeer(quint16 i_serverPort, const QByteArray& i_user,
                                                  const TestPeer& i_peer,
                                                  bool i_withObfuscatedPort = true,
                                                  bool i_withPlainPort = true);

    // Dials the client from the test peer, on the obfuscated port when asked, and sends the
    // first message of a direct connection of the type; returns the test peer's connection.
    int DialIn(TestPeer& i_peer, const QByteArray& i_user, const QByteArray& i_type,
               bool i_obfuscated);

    // The test server proposes the test peer, listening, as this node's distributed parent; returns
    // the test peer's side of the connection that the client opens to it once its first message
    // came, or -1.
    int ProposeParent(TestPeer& i_parents);

    // The messenger's steady clock, which only this moves.
    void AdvanceClock(qint64 i_milliseconds) { m_clock += i_milliseconds; }
    // One tick of the 30 s timer: every service's periodic slot on it runs.
    static void Tick();

    // Ends every connection, attempt and queued message of the messenger by letting them all
    // expire, waits until their sockets are deleted, and forgets the peer-related store items.
    // The distributed network node's connections, if it exists, are ended too. The login stays.
    void ResetPeers();

    // Log lines of the peer category logged since the last call of Mark().
    void Mark();
    QStringList PeerLinesSinceMark() const;

    // The socket named by the item of the type for which the predicate holds, waiting for one.
    static QTcpSocket* SocketOf(const char* ip_type, const QByteArray& i_user,
                                int i_timeoutMs = 20000);
    // A free port of 127.0.0.1 that nothing listens on.
    static quint16 ClosedPort();
    // Items of the types that stand for peer connections and work on them in progress.
    static std::size_t ConnectionItems();
    // A port of 127.0.0.1 whose connections never complete: its listener's queue is full and
    // never accepted from, so connection attempts wait for a time-out.
    quint16 StalledPort();

private:
    void EndDistributedConnections();

    std::unique_ptr<DelayedInvoker> mp_invoker;
    std::unique_ptr<DNetManager> mp_dnet;
    std::unique_ptr<SharedFoldersManager> mp_sharing;
    int m_centralConnection = 0;
    qsizetype m_mark = 0;
    qint64 m_clock = 0;
    int m_stalledListener = -1;
    int m_stalledFiller = -1;
    quint16 m_stalledPort = 0;
};
