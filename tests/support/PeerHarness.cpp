#include "PeerHarness.h"

#include "DNetManager.h"
#include "Data.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "FrameClient.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "SharedFoldersManager.h"
#include "TestPeer.h"
#include "TestSettings.h"
#include "TimerManager.h"
#include "WireWriter.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr int timeoutMs = 20000;
const QString peerCategory = QStringLiteral("Peer Messenger");
} // namespace

PeerHarness::PeerHarness(Services i_services, const QString& i_dataFile)
{
    if (i_services == Services::WholeClient)
    {
        mp_invoker = std::make_unique<DelayedInvoker>(nullptr);
        mp_dnet = std::make_unique<DNetManager>();
    }
    mp_sharing = std::make_unique<SharedFoldersManager>();
    TestSettings::SetSetting("listening_port", 0);
    TestSettings::SetSetting("obfuscated_listening_port", 0);
    Messenger().SetSteadyClock([this] { return m_clock; });
    Messenger().SetListeningAddress(QHostAddress(QHostAddress::LocalHost));
    if (i_services == Services::WholeClient)
        dataSaver->Load(i_dataFile);
    else
        Messenger().DataLoaded();
    // The server is told the ports actually bound.
    TestSettings::SetSetting("listening_port", int(Messenger().ListeningPort()));
    TestSettings::SetSetting("obfuscated_listening_port",
                             int(Messenger().ObfuscatedListeningPort()));
    Central().SetAutomaticReplies(true);
    m_centralConnection = LogIn();
    if (m_centralConnection == 0)
        qFatal("peer harness: the client did not log in");
}

PeerHarness::~PeerHarness()
{
    ResetPeers();
    for (int l_descriptor : {m_stalledFiller, m_stalledListener})
        if (l_descriptor >= 0)
            ::close(l_descriptor);
}

PeerMessenger& PeerHarness::Messenger()
{
    return *peerMessenger;
}

std::unique_ptr<FrameClient> PeerHarness::LogInPeer(const QByteArray& i_user,
                                                    const TestPeer& i_peer,
                                                    bool i_withObfuscatedPort, bool i_withPlainPort)
{
    return LogInPeer(Central().Port(), i_user, i_peer, i_withObfuscatedPort, i_withPlainPort);
}

std::unique_ptr<FrameClient> PeerHarness::LogInPeer(quint16 i_serverPort, const QByteArray& i_user,
                                                    const TestPeer& i_peer,
                                                    bool i_withObfuscatedPort, bool i_withPlainPort)
{
    auto lp_client = std::make_unique<FrameClient>();
    if (!lp_client->Connect(i_serverPort))
        qFatal("peer harness: cannot reach the test server");
    const QByteArray l_password = QByteArrayLiteral("pw");
    lp_client->SendMessage(
        1, WireWriter()
               .WriteString(i_user)
               .WriteString(l_password)
               .WriteU32(157)
               .WriteString(
                   QCryptographicHash::hash(i_user + l_password, QCryptographicHash::Md5).toHex())
               .WriteU32(100)
               .Bytes());
    if (!lp_client->Take(1, timeoutMs))
        qFatal("peer harness: no login reply");
    lp_client->SendMessage(2, WireWriter()
                                  .WriteU32(i_withPlainPort ? i_peer.PlainPort() : 0)
                                  .WriteU32(1)
                                  .WriteU32(i_withObfuscatedPort ? i_peer.ObfuscatedPort() : 0)
                                  .Bytes());
    if (!lp_client->WaitForWritten(timeoutMs))
        qFatal("peer harness: the ports did not leave");
    // The server has the ports once it answers a later request.
    lp_client->SendMessage(7, WireWriter().WriteString(i_user).Bytes());
    if (!lp_client->Take(7, timeoutMs))
        qFatal("peer harness: no status reply");
    return lp_client;
}

int PeerHarness::DialIn(TestPeer& i_peer, const QByteArray& i_user, const QByteArray& i_type,
                        bool i_obfuscated)
{
    const int l_connection = i_peer.Dial(i_obfuscated ? Messenger().ObfuscatedListeningPort()
                                                      : Messenger().ListeningPort(),
                                         i_obfuscated);
    i_peer.SendPeerInit(l_connection, i_user, i_type);
    return l_connection;
}

void PeerHarness::Tick()
{
    // The signal is private to the timer: invoked by name, as the timer itself emits it.
    QMetaObject::invokeMethod(&timerManager->m_halfMinuteTimer, "timeout", Qt::DirectConnection);
}

void PeerHarness::EndDistributedConnections()
{
    // Each socket's closing handler runs, so the node forgets it and deletes it.
    QList<QTcpSocket*> l_sockets;
    for (const char* lp_type : {"dnet_child", "dnet_parent_candidate"})
        for (Item* lp_item : d.GetType(lp_type)->GetItems())
            l_sockets.append(ItemPtr(lp_item).AsPtr<QTcpSocket>());
    ItemPtr l_parent = d.GetType("dnet_global")->HasItem("dnet_parent_socket")["dnet_value"];
    if (l_parent)
        l_sockets.append(l_parent.AsPtr<QTcpSocket>());
    for (QTcpSocket* lp_socket : l_sockets)
        lp_socket->abort();
}

int PeerHarness::ProposeParent(TestPeer& i_parents)
{
    constexpr quint32 parentsCode = 102;
    if (!Deliver(m_centralConnection, parentsCode,
                 WireWriter()
                     .WriteI32(1)
                     .WriteString("pa")
                     .WriteU32(QHostAddress(QHostAddress::LocalHost).toIPv4Address())
                     .WriteI32(i_parents.PlainPort())
                     .Bytes()))
        return -1;
    const int l_parent = i_parents.NextIncoming(timeoutMs);
    return l_parent >= 0 && i_parents.WaitForFirstMessage(l_parent, timeoutMs) ? l_parent : -1;
}

void PeerHarness::ResetPeers()
{
    if (mp_dnet)
        EndDistributedConnections();
    PeerMessenger& l_messenger = Messenger();
    const bool l_done = QTest::qWaitFor(
        [&]
        {
            AdvanceClock(3600000);
            l_messenger.EveryHalfMinute();
            for (Item* lp_request : d.GetType("peer_connection_request")->GetItems())
                if (!ItemPtr(lp_request).IsConnected("peer_connection_request_socket"))
                    ItemPtr(lp_request).Remove();
            return ConnectionItems() == 0;
        },
        timeoutMs);
    if (!l_done)
        qWarning("peer harness: connections did not end");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    d.RemoveDisconnectedItems();
}

std::size_t PeerHarness::ConnectionItems()
{
    std::size_t l_count = 0;
    for (const char* lp_type :
         {"uninitialized_socket", "peer_socket", "peer_connection_request_socket",
          "connect_to_peer_request_socket", "unsent_message", "indirect_connect_to_peer_request",
          "connect_to_peer_request", "peer_connection_request"})
        l_count += d.GetType(lp_type)->ItemCount();
    return l_count;
}

void PeerHarness::Mark()
{
    m_mark = LogLines(peerCategory).size();
}

QStringList PeerHarness::PeerLinesSinceMark() const
{
    return LogLines(peerCategory).mid(m_mark);
}

QTcpSocket* PeerHarness::SocketOf(const char* ip_type, const QByteArray& i_user, int i_timeoutMs)
{
    QTcpSocket* lp_found = nullptr;
    const bool l_found = QTest::qWaitFor(
        [&]
        {
            for (Item* lp_item : d.GetType(ip_type)->GetItems())
                if (ItemPtr(lp_item)["user"].AsString() == i_user.toStdString())
                    lp_found = ItemPtr(lp_item).AsPtr<QTcpSocket>();
            return lp_found != nullptr;
        },
        i_timeoutMs);
    if (!l_found)
        qWarning("peer harness: no %s socket of user %s", ip_type, i_user.constData());
    return lp_found;
}

quint16 PeerHarness::ClosedPort()
{
    QTcpServer l_server;
    l_server.listen(QHostAddress(QHostAddress::LocalHost), 0);
    return l_server.serverPort();
}

quint16 PeerHarness::StalledPort()
{
    if (m_stalledPort != 0)
        return m_stalledPort;
    sockaddr_in l_address{};
    l_address.sin_family = AF_INET;
    l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l_length = sizeof l_address;
    m_stalledListener = ::socket(AF_INET, SOCK_STREAM, 0);
    // A backlog of 0 holds one connection; the filler takes it.
    if (m_stalledListener < 0 ||
        ::bind(m_stalledListener, reinterpret_cast<sockaddr*>(&l_address), l_length) != 0 ||
        ::listen(m_stalledListener, 0) != 0 ||
        ::getsockname(m_stalledListener, reinterpret_cast<sockaddr*>(&l_address), &l_length) != 0)
        qFatal("peer harness: no stalled listener");
    m_stalledFiller = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_stalledFiller < 0 ||
        ::connect(m_stalledFiller, reinterpret_cast<sockaddr*>(&l_address), l_length) != 0)
        qFatal("peer harness: the stalled listener took no connection");
    m_stalledPort = ntohs(l_address.sin_port);
    return m_stalledPort;
}
