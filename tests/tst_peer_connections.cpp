// Each road to a connection with another user, through real sockets on 127.0.0.1: directly at
// the address the test server hands out (the obfuscated port preferred), indirectly when the
// server relays our request and the other client connects back, a request relayed to us that we
// answer, and a user that neither way reaches. Other users are logged in to the test server with
// a TestPeer as their client.
#include "Data.h"
#include "FrameClient.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <memory>

namespace
{
constexpr int timeoutMs = 20000;
constexpr quint32 loopback = 0x7f000001;

using Messages = TestPeerMessages;

// A connection request as the server relays it.
struct Relayed
{
    QByteArray user;
    QByteArray type;
    quint32 address = 0;
    qint32 port = 0;
    quint32 token = 0;
    qint32 obfuscationType = 0;
    qint32 obfuscatedPort = 0;
};

Relayed ReadRelayed(const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    Relayed l_relayed;
    l_relayed.user = l_reader.ReadString();
    l_relayed.type = l_reader.ReadString();
    l_relayed.address = l_reader.ReadU32();
    l_relayed.port = l_reader.ReadI32();
    l_relayed.token = l_reader.ReadU32();
    l_reader.ReadU8();
    l_relayed.obfuscationType = l_reader.ReadI32();
    if (l_relayed.obfuscationType == 1)
        l_relayed.obfuscatedPort = l_reader.ReadI32();
    return l_relayed;
}

ItemPtr UserItem(const char* ip_name)
{
    return d.GetType("user")->GetItem(ip_name);
}

void SetEndpoint(const char* ip_user, quint32 i_address, int i_port, int i_obfuscatedPort)
{
    ItemPtr l_user = UserItem(ip_user);
    l_user += d.GetType("user_address")->GetItem(Value(i_address));
    l_user += d.GetType("user_port")->GetItem(Value(i_port));
    l_user += d.GetType("user_obfuscated_port")->GetItem(Value(i_obfuscatedPort));
}

std::size_t Count(const char* ip_type)
{
    return d.GetType(ip_type)->ItemCount();
}
} // namespace

class TestPeerConnections : public QObject
{
    Q_OBJECT

    std::unique_ptr<PeerHarness> mp_harness;
    std::unique_ptr<TestPeer> mp_peer;
    QList<QPair<std::string, std::string>> m_failures;
    QList<QPair<std::string, QPointer<QTcpSocket>>> m_accepted;
    QList<QPair<std::string, QPointer<QTcpSocket>>> m_requested;
    QMetaObject::Connection m_failureWatch;
    QMetaObject::Connection m_dnetAcceptedWatch;
    QMetaObject::Connection m_fileAcceptedWatch;
    QMetaObject::Connection m_dnetRequestedWatch;

    PeerMessenger& Messenger() { return mp_harness->Messenger(); }

    bool HasLine(const QString& i_line) const
    {
        return mp_harness->PeerLinesSinceMark().contains(i_line);
    }

    // The indirect requests that the client sent to the server for the user.
    QList<quint32> IndirectTokens(const QByteArray& i_user) const
    {
        QList<quint32> l_tokens;
        for (const auto& l_frame :
             mp_harness->Central().ReceivedFrames(mp_harness->CentralConnection(), 18))
        {
            WireReader l_reader(l_frame.body);
            const quint32 l_token = l_reader.ReadU32();
            if (l_reader.ReadString() == i_user)
                l_tokens.append(l_token);
        }
        return l_tokens;
    }

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<PeerHarness>();
        m_failureWatch = connect(&Messenger(), &PeerMessenger::ConnectionToUserFailed, this,
                                 [this](std::string i_user, std::string i_type) {
                                     m_failures.append({i_user, i_type});
                                 });
        const auto l_keep = [](QList<QPair<std::string, QPointer<QTcpSocket>>>& io_list)
        {
            return [&io_list](std::string i_user, QTcpSocket* ip_socket) {
                io_list.append({i_user, ip_socket});
            };
        };
        m_fileAcceptedWatch =
            connect(&Messenger(), &PeerMessenger::FileConnectionAccepted, this, l_keep(m_accepted));
        m_dnetAcceptedWatch =
            connect(&Messenger(), &PeerMessenger::DNetConnectionAccepted, this, l_keep(m_accepted));
        m_dnetRequestedWatch = connect(&Messenger(), &PeerMessenger::DNetConnectionRequested, this,
                                       l_keep(m_requested));
    }

    void init()
    {
        mp_peer = std::make_unique<TestPeer>();
        QVERIFY(mp_peer->Listen());
        m_failures.clear();
        m_accepted.clear();
        m_requested.clear();
        mp_harness->Mark();
    }

    void cleanup()
    {
        for (const auto& l_handed : m_accepted + m_requested)
            if (l_handed.second)
                l_handed.second->deleteLater();
        mp_peer.reset();
        mp_harness->ResetPeers();
    }

    void cleanupTestCase() { mp_harness.reset(); }

    // At login, and again with port 0 saved, which lets the system choose where to listen: the
    // server is told the ports listened on, or no one could connect.
    void listeningPortsAreAnnounced()
    {
        const int l_central = mp_harness->CentralConnection();
        for (bool l_chosen : {false, true})
        {
            if (l_chosen)
            {
                for (const char* lp_setting : {"listening_port", "obfuscated_listening_port"})
                    TestSettings::SetSetting(lp_setting, 0);
                mp_harness->Central().ClearReceivedFrames(l_central);
                Messenger().OnConnectedToServer();
            }
            QTRY_VERIFY_WITH_TIMEOUT(!mp_harness->Central().ReceivedFrames(l_central, 2).isEmpty(),
                                     timeoutMs);
            WireReader l_reader(mp_harness->Central().ReceivedFrames(l_central, 2).first().body);
            QCOMPARE(l_reader.ReadU32(), quint32(Messenger().ListeningPort()));
            QCOMPARE(l_reader.ReadU32(), 1u);
            QCOMPARE(l_reader.ReadU32(), quint32(Messenger().ObfuscatedListeningPort()));
        }
        TestSettings::SetSetting("listening_port", int(Messenger().ListeningPort()));
        TestSettings::SetSetting("obfuscated_listening_port",
                                 int(Messenger().ObfuscatedListeningPort()));
    }

    void directConnectionPrefersTheObfuscatedPort()
    {
        auto lp_alice = mp_harness->LogInPeer("alice", *mp_peer);
        Messenger().GetUserSharedFiles("alice");

        const int l_connection = mp_peer->NextIncoming(timeoutMs);
        QVERIFY(l_connection > 0);
        QVERIFY(mp_peer->IsObfuscated(l_connection));
        QVERIFY(mp_peer->WaitForFirstMessage(l_connection));
        const TestPeer::FirstMessage l_first = mp_peer->ReceivedFirstMessage(l_connection);
        QVERIFY(l_first.valid);
        QCOMPARE(l_first.direction, quint8(1));
        QCOMPARE(l_first.user, QByteArray("me"));
        QCOMPARE(l_first.type, QByteArray("P"));
        QCOMPARE(l_first.value, 0u);
        // The queued request follows on the new connection, obfuscated like it.
        QVERIFY(mp_peer->WaitForFrames(l_connection, 1));
        QCOMPARE(mp_peer->Frames(l_connection).first().body, Messages::GetSharedFileList());
        QVERIFY(mp_peer->Frames(l_connection).first().obfuscated);

        QTcpSocket* lp_socket = PeerHarness::SocketOf("peer_socket", "alice");
        QVERIFY(lp_socket);
        QVERIFY(d.GetType("peer_socket")->HasItem(Value(lp_socket)).IsConnected("is_obfuscated"));
        QCOMPARE(lp_socket->socketOption(QAbstractSocket::KeepAliveOption).toInt(), 1);
        QCOMPARE(Count("connect_to_peer_request"), std::size_t(0));
        QCOMPARE(Count("unsent_message"), std::size_t(0));
        for (const char* lp_line :
             {"Attempting peer connection of type P to user alice",
              "Also sending indirect connection request.",
              "User address not found, requesting address", "User alice address arrived",
              "Attempting direct connection of type P",
              "Direct obfuscated connection of type P to user alice successful",
              "Disposing of peer connection request of type P to user alice",
              "Sending 1 pending peer messages to user alice"})
            QVERIFY2(HasLine(QString::fromLatin1(lp_line)), lp_line);

        // The indirect way went out at the same time: the server relayed it to alice.
        const auto l_relay = lp_alice->Take(18, timeoutMs);
        QVERIFY(l_relay);
        const Relayed l_relayed = ReadRelayed(*l_relay);
        QCOMPARE(l_relayed.user, QByteArray("me"));
        QCOMPARE(l_relayed.type, QByteArray("P"));
        QCOMPARE(l_relayed.port, qint32(Messenger().ListeningPort()));
        QCOMPARE(l_relayed.obfuscatedPort, qint32(Messenger().ObfuscatedListeningPort()));
    }

    void directConnectionWithoutObfuscatedPortIsPlain()
    {
        auto lp_alba = mp_harness->LogInPeer("alba", *mp_peer, false);
        Messenger().RequestFileConnectionToUser("alba");
        const int l_connection = mp_peer->NextIncoming(timeoutMs);
        QVERIFY(l_connection > 0);
        QVERIFY(!mp_peer->IsObfuscated(l_connection));
        QVERIFY(mp_peer->WaitForFirstMessage(l_connection));
        QCOMPARE(mp_peer->ReceivedFirstMessage(l_connection).type, QByteArray("F"));
        QTRY_COMPARE_WITH_TIMEOUT(m_accepted.size(), qsizetype(1), timeoutMs);
        QCOMPARE(m_accepted.first().first, std::string("alba"));
        QVERIFY(m_accepted.first().second);
        QCOMPARE(m_accepted.first().second->socketOption(QAbstractSocket::KeepAliveOption).toInt(),
                 1);
        // The file socket belongs to its receiver now: what the peer sends stays unread.
        mp_peer->SendRaw(l_connection, QByteArrayLiteral("data"));
        QTRY_COMPARE_WITH_TIMEOUT(m_accepted.first().second->bytesAvailable(), qint64(4),
                                  timeoutMs);
        QVERIFY(HasLine(QStringLiteral("Direct connection of type F to user alba successful")));
    }

    // The server hands out no usable port, so only the indirect way runs: the other client
    // connects back with the request's token.
    void indirectConnectionWhenNoPortIsKnown()
    {
        auto lp_carol = mp_harness->LogInPeer("carol", *mp_peer, false, false);
        Messenger().GetUserSharedFiles("carol");
        const auto l_relay = lp_carol->Take(18, timeoutMs);
        QVERIFY(l_relay);
        const Relayed l_relayed = ReadRelayed(*l_relay);
        QCOMPARE(l_relayed.type, QByteArray("P"));
        QCOMPARE(l_relayed.address, loopback);
        QCOMPARE(l_relayed.obfuscationType, 1);
        QTRY_VERIFY_WITH_TIMEOUT(
            HasLine(
                QStringLiteral("No usable address for the user, waiting for the indirect request")),
            timeoutMs);
        QCOMPARE(Count("connect_to_peer_request_socket"), std::size_t(0));

        const int l_connection = mp_peer->Dial(quint16(l_relayed.obfuscatedPort), true);
        mp_peer->SendPierceFirewall(l_connection, l_relayed.token);
        QVERIFY(mp_peer->WaitForFrames(l_connection, 1));
        QCOMPARE(mp_peer->Frames(l_connection).first().body, Messages::GetSharedFileList());
        QVERIFY(mp_peer->Frames(l_connection).first().obfuscated);
        QVERIFY(HasLine(QStringLiteral("Found req, accepted obfuscated indirect connection to user "
                                       "carol, connection type P")));
        QCOMPARE(Count("connect_to_peer_request"), std::size_t(0));
        QCOMPARE(Count("indirect_connect_to_peer_request"), std::size_t(0));
        QVERIFY(PeerHarness::SocketOf("peer_socket", "carol"));
    }

    void relayedRequestIsAnswered_data()
    {
        QTest::addColumn<QByteArray>("type");
        QTest::newRow("messaging") << QByteArray("P");
        QTest::newRow("file") << QByteArray("F");
        QTest::newRow("distributed") << QByteArray("D");
    }

    // Each row is a new client of the same user on new ports: the address stored from the
    // row before must not be used for the request that brings the new one.
    void relayedRequestIsAnswered()
    {
        QFETCH(QByteArray, type);
        auto lp_dave = mp_harness->LogInPeer("dave", *mp_peer);
        const quint32 l_token = 700;
        mp_peer->ExpectPierceFirewall(l_token, type);
        QList<QPair<std::string, std::string>> l_queued;
        QPointer<QTcpSocket> lp_fileSocket;
        quint32 l_fileToken = 0;
        const auto l_queueWatch = connect(&Messenger(), &PeerMessenger::QueueUploadRequested, this,
                                          [&](std::string i_user, std::string i_file) {
                                              l_queued.append({i_user, i_file});
                                          });
        const auto l_fileWatch =
            connect(&Messenger(), &PeerMessenger::FileConnectionRequested, this,
                    [&](std::string i_user, QTcpSocket* ip_socket, uint i_token)
                    {
                        QCOMPARE(i_user, std::string("dave"));
                        lp_fileSocket = ip_socket;
                        l_fileToken = i_token;
                    });

        lp_dave->SendMessage(
            18, WireWriter().WriteU32(l_token).WriteString("me").WriteString(type).Bytes());
        const int l_connection = mp_peer->NextIncoming(timeoutMs);
        QVERIFY(l_connection > 0);
        QVERIFY(mp_peer->IsObfuscated(l_connection));
        QVERIFY(mp_peer->WaitForFirstMessage(l_connection));
        const TestPeer::FirstMessage l_first = mp_peer->ReceivedFirstMessage(l_connection);
        QVERIFY(l_first.valid);
        QCOMPARE(l_first.direction, quint8(0));
        QCOMPARE(l_first.value, l_token);
        QTRY_COMPARE_WITH_TIMEOUT(Count("peer_connection_request"), std::size_t(0), timeoutMs);
        QCOMPARE(Count("peer_connection_request_socket"), std::size_t(0));
        QVERIFY(HasLine(
            QStringLiteral("Indirect obfuscated peer connection requested from user dave")));
        QVERIFY(HasLine(QStringLiteral("Response obfuscated connection to indirect request from "
                                       "dave, type %1 opened")
                            .arg(QString::fromLatin1(type))));

        if (type == "P")
        {
            mp_peer->SendMessage(l_connection, 43, WireWriter().WriteString("song.mp3").Bytes());
            QTRY_COMPARE_WITH_TIMEOUT(l_queued.size(), qsizetype(1), timeoutMs);
            QCOMPARE(l_queued.first().first, std::string("dave"));
            QCOMPARE(l_queued.first().second, std::string("song.mp3"));
            QTcpSocket* lp_socket = PeerHarness::SocketOf("peer_socket", "dave");
            QCOMPARE(lp_socket->socketOption(QAbstractSocket::KeepAliveOption).toInt(), 1);
        }
        else if (type == "F")
        {
            mp_peer->SendFileToken(l_connection, 0xabcd1234);
            QTRY_VERIFY_WITH_TIMEOUT(lp_fileSocket, timeoutMs);
            QCOMPARE(l_fileToken, 0xabcd1234u);
            lp_fileSocket->deleteLater();
        }
        else
        {
            QTRY_COMPARE_WITH_TIMEOUT(m_requested.size(), qsizetype(1), timeoutMs);
            QCOMPARE(m_requested.first().first, std::string("dave"));
            QCOMPARE(
                m_requested.first().second->socketOption(QAbstractSocket::KeepAliveOption).toInt(),
                1);
        }
        disconnect(l_queueWatch);
        disconnect(l_fileWatch);
    }

    void userReachedNeitherWayFails()
    {
        // Not logged in: the server answers the relayed request with a failure and the address
        // request with zeros.
        Messenger().GetUserSharedFiles("ghost");
        QTRY_COMPARE_WITH_TIMEOUT(m_failures.size(), qsizetype(1), timeoutMs);
        QCOMPARE(m_failures.first(), (QPair<std::string, std::string>{"ghost", "P"}));
        QCOMPARE(Count("connect_to_peer_request"), std::size_t(0));
        QCOMPARE(Count("unsent_message"), std::size_t(1));
        for (const char* lp_line :
             {"Indirect connection of type P to user ghost failed",
              "Inspecting peer connection request of type P to user ghost for possible removal.",
              "Neither socket nor indirect request found. Removing."})
            QVERIFY2(HasLine(QString::fromLatin1(lp_line)), lp_line);

        // With a stored address that refuses, both ways fail, and the failure is told once.
        SetEndpoint("gina", loopback, PeerHarness::ClosedPort(), 0);
        Messenger().ConnectToUser("gina", "P");
        QTRY_COMPARE_WITH_TIMEOUT(m_failures.size(), qsizetype(2), timeoutMs);
        QCOMPARE(m_failures.last(), (QPair<std::string, std::string>{"gina", "P"}));
        QVERIFY(HasLine(QStringLiteral("Direct connection of type P to user gina failed")));
        QVERIFY(HasLine(QStringLiteral("Indirect connection of type P to user gina failed")));
        QTRY_COMPARE_WITH_TIMEOUT(Count("connect_to_peer_request"), std::size_t(0), timeoutMs);
        QCOMPARE(m_failures.size(), qsizetype(2));
    }

    void oneAttemptPerUserAndType()
    {
        const qsizetype l_sentBefore = IndirectTokens("ghost").size();
        Messenger().ConnectToUser("ghost", "F");
        Messenger().ConnectToUser("ghost", "F");
        Messenger().ConnectToUser("ghost", "D");
        QVERIFY(HasLine(QStringLiteral("Connection attempt to same user of same type already in "
                                       "progress, not re-attempting.")));
        QTRY_COMPARE_WITH_TIMEOUT(m_failures.size(), qsizetype(2), timeoutMs);
        QCOMPARE(IndirectTokens("ghost").size() - l_sentBefore, qsizetype(2));
        QCOMPARE(m_failures.first().second, std::string("F"));
        QCOMPARE(m_failures.last().second, std::string("D"));
    }

    // A receiver of the failure that asks again is told the attempt is still in progress.
    void failureIsToldWhileTheAttemptExists()
    {
        int l_inProgress = 0;
        const auto l_retry =
            connect(&Messenger(), &PeerMessenger::ConnectionToUserFailed, this,
                    [&](std::string i_user, std::string i_type)
                    {
                        mp_harness->Mark();
                        Messenger().ConnectToUser(i_user, i_type.c_str());
                        l_inProgress +=
                            HasLine(QStringLiteral("Connection attempt to same user of same type "
                                                   "already in progress, not re-attempting."));
                    });
        Messenger().ConnectToUser("ghost", "P");
        QTRY_COMPARE_WITH_TIMEOUT(m_failures.size(), qsizetype(1), timeoutMs);
        disconnect(l_retry);
        QCOMPARE(l_inProgress, 1);
        QCOMPARE(Count("connect_to_peer_request"), std::size_t(0));
    }

    void relayedRequestWithoutAddressIsRefused()
    {
        const int l_central = mp_harness->CentralConnection();
        const qsizetype l_reportsBefore =
            mp_harness->Central().ReceivedFrames(l_central, 1001).size();
        QVERIFY(mp_harness->Deliver(l_central, 18,
                                    WireWriter()
                                        .WriteString("hank")
                                        .WriteString("P")
                                        .WriteU32(0)
                                        .WriteI32(1234)
                                        .WriteU32(55)
                                        .WriteU8(0)
                                        .WriteI32(0)
                                        .Bytes()));
        QTRY_COMPARE_WITH_TIMEOUT(mp_harness->Central().ReceivedFrames(l_central, 1001).size(),
                                  l_reportsBefore + 1, timeoutMs);
        QCOMPARE(Count("peer_connection_request"), std::size_t(0));
        QCOMPARE(Count("peer_connection_request_socket"), std::size_t(0));
        WireReader l_reader(mp_harness->Central().ReceivedFrames(l_central, 1001).last().body);
        QCOMPARE(l_reader.ReadU32(), 55u);
        QCOMPARE(l_reader.ReadString(), QByteArray("hank"));
        QVERIFY(HasLine(QStringLiteral("Indirect peer connection requested from user hank without "
                                       "an address, reporting failure")));
    }

    // A distributed-network candidate comes with an address and a plain port only: the
    // obfuscated port of the user's earlier address must not be used with the new one.
    void newAddressClearsTheOldObfuscatedPort()
    {
        SetEndpoint("ivy", 0x7f000002, 4000, PeerHarness::ClosedPort());
        ItemPtr l_ivy = UserItem("ivy");
        l_ivy += d.GetType("user_address")->GetItem(Value(loopback));
        l_ivy += d.GetType("user_port")->GetItem(Value(int(mp_peer->PlainPort())));
        QVERIFY(!l_ivy.IsConnected("user_obfuscated_port"));
        bool l_obfuscated = true;
        QCOMPARE(Messenger().GetUserPort(l_ivy, l_obfuscated), int(mp_peer->PlainPort()));
        QVERIFY(!l_obfuscated);

        Messenger().RequestDNetConnection("ivy");
        const int l_connection = mp_peer->NextIncoming(timeoutMs);
        QVERIFY(l_connection > 0);
        QVERIFY(!mp_peer->IsObfuscated(l_connection));
        QVERIFY(mp_peer->WaitForFirstMessage(l_connection));
        QCOMPARE(mp_peer->ReceivedFirstMessage(l_connection).type, QByteArray("D"));
        QTRY_COMPARE_WITH_TIMEOUT(m_accepted.size(), qsizetype(1), timeoutMs);
        QCOMPARE(m_accepted.first().first, std::string("ivy"));

        // The server's address reply sets the obfuscated port last, and it stays.
        SetEndpoint("ivy", 0x7f000003, 4001, 4002);
        QCOMPARE(Messenger().GetUserPort(l_ivy, l_obfuscated), 4002);
        QVERIFY(l_obfuscated);
    }

    // A port that another program holds: the failure is logged with the port and the reason,
    // and announced for the user to see.
    void listeningFailureIsReported()
    {
        QTcpServer l_holder;
        QVERIFY(l_holder.listen(QHostAddress(QHostAddress::LocalHost)));
        const int l_port = Messenger().ListeningPort();
        QSignalSpy l_failures(&Messenger(), &PeerMessenger::ListeningFailed);
        TestSettings::SetSetting("listening_port", int(l_holder.serverPort()));
        Messenger().DataLoaded();
        QCOMPARE(l_failures.size(), 1);
        QCOMPARE(l_failures.first().first().value<quint16>(), l_holder.serverPort());
        QVERIFY(HasLine(QStringLiteral("Could not listen on port %1: %2")
                            .arg(l_holder.serverPort())
                            .arg(l_failures.first().last().toString())));
        QVERIFY(!l_failures.first().last().toString().isEmpty());

        TestSettings::SetSetting("listening_port", l_port);
        Messenger().DataLoaded();
        QCOMPARE(l_failures.size(), 1);
        QCOMPARE(int(Messenger().ListeningPort()), l_port);
    }
};

QTEST_GUILESS_MAIN(TestPeerConnections)
#include "tst_peer_connections.moc"
