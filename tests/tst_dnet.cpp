// The client's node in the distributed search tree, between a test parent (or candidates) and test
// children on 127.0.0.1, with the TestServer as the central server: adoption, forwarding byte for
// byte, level and group leader down the tree, depth up, what the server is told and in which
// order, and the node's refusal of frames and numbers it cannot hold.
#include "DNetManager.h"

#include "Data.h"
#include "FrameClient.h"
#include "PeerMessenger.h"
#include "ServerHarness.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <limits>
#include <memory>
#include <tuple>

namespace
{
using Messages = TestPeerMessages;
using Search = std::tuple<std::string, quint32, std::string>;

constexpr int timeoutMs = 20000;
constexpr qint32 int32Max = std::numeric_limits<qint32>::max();
constexpr qint32 int32Min = std::numeric_limits<qint32>::min();

QByteArray I32(qint32 i_value)
{
    return WireWriter().WriteI32(i_value).Bytes();
}

// A key of the node's own state, "-" when it has no value.
QByteArray Key(const char* ip_key)
{
    ItemPtr l_value = d.GetType("dnet_global")->HasItem(ip_key)["dnet_value"];
    return l_value ? QByteArray::fromStdString(l_value.AsString()) : QByteArrayLiteral("-");
}

QByteArray CandidateValue(QTcpSocket* ip_socket, const char* ip_type)
{
    ItemPtr l_value = d.GetType("dnet_parent_candidate")->HasItem(Value(ip_socket))[ip_type];
    return l_value ? QByteArray::fromStdString(l_value.AsString()) : QByteArrayLiteral("-");
}

int Count(const char* ip_type)
{
    return int(d.GetType(ip_type)->ItemCount());
}

QStringList Strings(std::initializer_list<const char*> i_texts)
{
    QStringList l_strings;
    for (const char* lp_text : i_texts)
        l_strings.append(QString::fromUtf8(lp_text));
    return l_strings;
}

// The distributed frames a test peer received, as they came on the wire.
QList<QByteArray> Wires(const TestPeer& i_peer, int i_connection)
{
    QList<QByteArray> l_wires;
    for (const TestPeer::Frame& l_frame : i_peer.Frames(i_connection))
        l_wires.append(l_frame.wire);
    return l_wires;
}

QList<QByteArray> Framed(std::initializer_list<QByteArray> i_messages)
{
    QList<QByteArray> l_frames;
    for (const QByteArray& l_message : i_messages)
        l_frames.append(Messages::Frame(l_message));
    return l_frames;
}
} // namespace

class TestDNet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    // Runs first: the store reset between tests removes the setting item that the node watches.
    void canParentFollowsSpeedAndLogin();
    void canParentTakesAnyServerNumbers();
    void chainAdoptionForwardingAndLoss();
    void adoptionWithoutLevelOrLeader();
    void candidateRecordsAndServerMessages();
    void searchesFromTheServer();
    void childrenDepthAndCapacity();
    void framesInPiecesTogetherAndBeforeHandOver();
    void frameLengthLimits();
    void malformedMessagesAndNumbers();
    void throughThePeerMessenger();

private:
    bool LogIn();
    bool Deliver(quint32 i_code, const QByteArray& i_fields);
    // The node's reports to the server since the last call, in order.
    QStringList Reports();
    QStringList Lines() const;
    bool Logged(const char* ip_line) const;
    qsizetype LoggedCount(const char* ip_line) const;
    bool LastLogged(const char* ip_line) const;
    // Our end of a connection to the peer, handed to the node as a candidate of the user.
    QTcpSocket* AddCandidate(TestPeer& i_peer, const char* ip_user, int& o_connection,
                             bool i_handOver = true);
    // A connection from the peer to us, handed to the node as a child of the user.
    QTcpSocket* AddChild(TestPeer& i_peer, const char* ip_user, int& o_connection);
    void RecordSearches();

    std::unique_ptr<ServerHarness> mp_harness;
    std::unique_ptr<DNetManager> mp_node;
    QTcpServer m_childListener;
    int m_connection = 0;
    QList<QPointer<QTcpSocket>> m_sockets;
    QList<Search> m_searches;
    // Whether the node had a parent when each search reached the sharing side.
    QList<bool> m_parentAtSearch;
};

void TestDNet::initTestCase()
{
    mp_harness = std::make_unique<ServerHarness>();
    mp_node = std::make_unique<DNetManager>();
    QCOMPARE(dnetManager, mp_node.get());
    QVERIFY(m_childListener.listen(QHostAddress(QHostAddress::LocalHost)));
    RecordSearches();
}

void TestDNet::cleanup()
{
    // Every connection the node still holds ends, so that its closing handlers run; the peer
    // messenger made some of them.
    QList<QTcpSocket*> l_held;
    for (const char* lp_type : {"dnet_child", "dnet_parent_candidate"})
        for (Item* lp_item : d.GetType(lp_type)->GetItems())
            l_held.append(ItemPtr(lp_item).AsPtr<QTcpSocket>());
    if (Key("dnet_parent_socket") != "-")
        l_held.append(reinterpret_cast<QTcpSocket*>(Key("dnet_parent_socket").toULongLong()));
    for (QTcpSocket* lp_socket : l_held)
        lp_socket->abort();
    for (const QPointer<QTcpSocket>& lp_socket : m_sockets)
        if (lp_socket)
            lp_socket->abort();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const QPointer<QTcpSocket>& lp_socket : m_sockets)
        delete lp_socket.data();
    m_sockets.clear();
    m_searches.clear();
    m_parentAtSearch.clear();
    mp_harness->Central().SetAutomaticReplies(false);
    mp_harness->Reset();
}

void TestDNet::cleanupTestCase()
{
    mp_node.reset();
    QVERIFY(!dnetManager);
    mp_harness.reset();
}

bool TestDNet::LogIn()
{
    m_connection = mp_harness->LogIn();
    return m_connection != 0;
}

bool TestDNet::Deliver(quint32 i_code, const QByteArray& i_fields)
{
    return mp_harness->Deliver(m_connection, i_code, i_fields);
}

QStringList TestDNet::Reports()
{
    QStringList l_reports;
    for (const TestServer::ReceivedFrame& l_frame : mp_harness->SentFrames(m_connection))
    {
        WireReader l_reader(l_frame.body);
        if (l_frame.code == 71)
            l_reports << QStringLiteral("has parent %1").arg(l_reader.ReadU8());
        else if (l_frame.code == 100)
            l_reports << QStringLiteral("can parent %1").arg(l_reader.ReadU8());
        else if (l_frame.code == 126)
            l_reports << QStringLiteral("level %1").arg(l_reader.ReadI32());
        else if (l_frame.code == 127)
            l_reports << QStringLiteral("leader ") + QString::fromLatin1(l_reader.ReadString());
        else if (l_frame.code == 129)
            l_reports << QStringLiteral("child depth %1").arg(l_reader.ReadU8());
    }
    return l_reports;
}

QStringList TestDNet::Lines() const
{
    return mp_harness->LogLines(QStringLiteral("Distributed Network"));
}

QTcpSocket* TestDNet::AddCandidate(TestPeer& i_peer, const char* ip_user, int& o_connection,
                                   bool i_handOver)
{
    auto* lp_socket = new QTcpSocket();
    m_sockets.append(lp_socket);
    lp_socket->connectToHost(QHostAddress(QHostAddress::LocalHost), i_peer.PlainPort());
    o_connection = i_peer.NextIncoming(timeoutMs);
    if (o_connection < 0 ||
        !QTest::qWaitFor([&] { return lp_socket->state() == QAbstractSocket::ConnectedState; },
                         timeoutMs))
        return nullptr;
    i_peer.SetMode(o_connection, TestPeer::Mode::Distributed);
    if (i_handOver)
        emit peerMessenger->DNetConnectionAccepted(ip_user, lp_socket);
    return lp_socket;
}

QTcpSocket* TestDNet::AddChild(TestPeer& i_peer, const char* ip_user, int& o_connection)
{
    o_connection = i_peer.Dial(m_childListener.serverPort(), false);
    i_peer.SetMode(o_connection, TestPeer::Mode::Distributed);
    if (!QTest::qWaitFor([this] { return m_childListener.hasPendingConnections(); }, timeoutMs))
        return nullptr;
    QTcpSocket* lp_socket = m_childListener.nextPendingConnection();
    lp_socket->setParent(nullptr);
    m_sockets.append(lp_socket);
    emit peerMessenger->DNetConnectionRequested(ip_user, lp_socket);
    return lp_socket;
}

void TestDNet::RecordSearches()
{
    connect(mp_node.get(), &DNetManager::DNetSearchRequest, this,
            [this](std::string i_user, quint32 i_req, std::string i_text)
            {
                m_searches.append({i_user, i_req, i_text});
                m_parentAtSearch.append(Key("dnet_parent_user") != "-");
            });
}

bool TestDNet::Logged(const char* ip_line) const
{
    return Lines().contains(QString::fromUtf8(ip_line));
}

qsizetype TestDNet::LoggedCount(const char* ip_line) const
{
    return Lines().count(QString::fromUtf8(ip_line));
}

bool TestDNet::LastLogged(const char* ip_line) const
{
    // Not counting the delivery reports that the harness uses as markers.
    QStringList l_lines = Lines();
    l_lines.removeIf(
        [](const QString& i_line)
        { return i_line.startsWith(QStringLiteral("Received DNet delivery report")); });
    return !l_lines.isEmpty() && l_lines.last() == QString::fromUtf8(ip_line);
}

void TestDNet::canParentFollowsSpeedAndLogin()
{
    QVERIFY(LogIn());
    QCOMPARE(Reports(), Strings({"has parent 0"}));
    QVERIFY(Deliver(83, I32(40)));
    QVERIFY(Deliver(84, I32(50)));
    QCOMPARE(Reports(), QStringList());

    // 51200 bytes/s, at least 40 KiB/s and 50 per child: room for 10 children.
    TestSettings::SetSetting("upload_speed", 51200);
    QCOMPARE(Reports(), Strings({"can parent 1"}));
    QVERIFY(Logged("Currently have 0 child connections, max capacity 10"));
    TestSettings::SetSetting("upload_speed", 51300);
    QCOMPARE(Reports(), QStringList());
    QVERIFY(LastLogged("No status change, not notifying."));
    TestSettings::SetSetting("upload_speed", 40959);
    QCOMPARE(Reports(), Strings({"can parent 0"}));
    QVERIFY(Logged("Below minimum parent speed, so no."));

    // After a login a computed false is not sent again, a computed true is.
    mp_harness->Client().Disconnect();
    QVERIFY(LogIn());
    QCOMPARE(Reports(), Strings({"has parent 0"}));
    TestSettings::SetSetting("upload_speed", 51200);
    QCOMPARE(Reports(), Strings({"can parent 1"}));
    mp_harness->Client().Disconnect();
    QVERIFY(LogIn());
    QCOMPARE(Reports(), Strings({"has parent 0", "can parent 1"}));

    // A minimum of 0 lets a speed of 0 through to the capacity, which is 0.
    QVERIFY(Deliver(83, I32(0)));
    TestSettings::SetSetting("upload_speed", 0);
    QCOMPARE(Reports(), Strings({"can parent 0"}));
    QVERIFY(LastLogged("Status changed, sending notification."));
    QVERIFY(Logged("Currently have 0 child connections, max capacity 0"));
}

void TestDNet::canParentTakesAnyServerNumbers()
{
    QVERIFY(LogIn());
    Reports();
    TestSettings::SetSetting("upload_speed", 51200);
    QVERIFY(Deliver(83, I32(40)));
    QVERIFY(Deliver(84, I32(50)));
    QCOMPARE(Reports(), Strings({"can parent 1"}));

    // A ratio of 0 or below gives no capacity, without a division.
    QVERIFY(Deliver(84, I32(0)));
    QCOMPARE(Reports(), Strings({"can parent 0"}));
    QVERIFY(Logged("Speed per child connection is 0, so no."));
    QVERIFY(Deliver(84, I32(50)));
    QVERIFY(Deliver(84, I32(int32Min)));
    QCOMPARE(Reports(), Strings({"can parent 1", "can parent 0"}));

    // Products beyond 32 bits are computed whole: 2^31 - 1 bytes/s give 20971519 children.
    TestSettings::SetSetting("upload_speed", int32Max);
    QVERIFY(Deliver(83, I32(1)));
    QVERIFY(Deliver(84, I32(1)));
    QCOMPARE(Reports(), Strings({"can parent 1"}));
    QVERIFY(LastLogged("Status changed, sending notification."));
    QVERIFY(Logged("Currently have 0 child connections, max capacity 20971519"));
    // A minimum of 2^21 KiB/s is one byte more than that speed, not a negative number.
    QVERIFY(Deliver(83, I32(2097152)));
    QVERIFY(Deliver(83, I32(int32Max)));
    QCOMPARE(Reports(), Strings({"can parent 0"}));
    QCOMPARE(LoggedCount("Below minimum parent speed, so no."), 2);
    QVERIFY(Deliver(84, I32(int32Max)));
    QVERIFY(Deliver(83, I32(int32Min)));
    QVERIFY(LastLogged("No status change, not notifying."));
    QVERIFY(Logged("Currently have 0 child connections, max capacity 0"));
    QCOMPARE(Reports(), QStringList());
}

void TestDNet::chainAdoptionForwardingAndLoss()
{
    QVERIFY(LogIn());
    Reports();
    TestPeer l_children;
    TestPeer l_parents;
    QVERIFY(l_parents.Listen());
    int l_child1 = 0;
    int l_child2 = 0;
    QVERIFY(AddChild(l_children, "child1", l_child1));
    QVERIFY(AddChild(l_children, "child2", l_child2));
    int l_alpha = 0;
    int l_beta = 0;
    QTcpSocket* lp_alpha = AddCandidate(l_parents, "alpha", l_alpha);
    QTcpSocket* lp_beta = AddCandidate(l_parents, "beta", l_beta);
    QVERIFY(lp_alpha && lp_beta);
    QCOMPARE(Count("dnet_parent_candidate"), 2);

    l_parents.SendDistributed(l_alpha, Messages::DistributedLevel(7));
    l_parents.SendDistributed(l_alpha, Messages::DistributedGroupLeader("boss"));
    l_parents.SendDistributed(l_beta, Messages::DistributedLevel(2));
    QTRY_COMPARE_WITH_TIMEOUT(CandidateValue(lp_alpha, "dnet_candidate_leader"), "boss", timeoutMs);
    QCOMPARE(CandidateValue(lp_alpha, "dnet_candidate_level"), "8");
    QTRY_COMPARE_WITH_TIMEOUT(CandidateValue(lp_beta, "dnet_candidate_level"), "3", timeoutMs);
    QCOMPARE(Key("dnet_level"), "-");

    // The first candidate to search becomes the parent, after the search went to the sharing side
    // and before it goes to the children; the other candidate is closed.
    const QByteArray l_search = Messages::DistributedSearch("searcher", 4242, "some song");
    l_parents.SendDistributed(l_alpha, l_search);
    QTRY_COMPARE_WITH_TIMEOUT(m_searches.size(), 1, timeoutMs);
    QCOMPARE(m_searches[0], Search("searcher", 4242, "some song"));
    QCOMPARE(m_parentAtSearch, QList<bool>{false});
    QCOMPARE(Key("dnet_parent_user"), "alpha");
    QCOMPARE(Key("dnet_parent_socket"), QByteArray::fromStdString(Value(lp_alpha).AsString()));
    QCOMPARE(Key("dnet_level"), "8");
    QCOMPARE(Key("dnet_group_leader"), "boss");
    QCOMPARE(Count("dnet_parent_candidate"), 0);
    QVERIFY(l_parents.WaitForDisconnected(l_beta));
    QVERIFY(l_parents.IsOpen(l_alpha));
    QCOMPARE(Reports(), Strings({"level 8", "leader boss", "has parent 1"}));
    QVERIFY(Logged("Received first search request from parent candidate alpha, "
                   "adopting as parent."));
    const QList<QByteArray> l_adopted =
        Framed({Messages::DistributedLevel(8), Messages::DistributedGroupLeader("boss"), l_search});
    for (int l_child : {l_child1, l_child2})
    {
        QVERIFY(l_children.WaitForFrames(l_child, 3));
        QCOMPARE(Wires(l_children, l_child), l_adopted);
    }

    // Levels from the parent: one more is the node's; the same again, or a repeated group
    // leader, changes nothing; a new leader's message is passed on as it came.
    const QByteArray l_second = Messages::DistributedSearch("other", 1, QByteArray("a\0b", 3));
    const QByteArray l_oddLeader = Messages::DistributedGroupLeader("chief") + "trailing";
    for (const QByteArray& l_message :
         {Messages::DistributedLevel(9), Messages::DistributedLevel(9),
          Messages::DistributedGroupLeader("boss"), l_oddLeader, l_second})
        l_parents.SendDistributed(l_alpha, l_message);
    QVERIFY(l_children.WaitForFrames(l_child2, 6));
    QCOMPARE(Wires(l_children, l_child2).mid(3),
             Framed({Messages::DistributedLevel(10), l_oddLeader, l_second}));
    QCOMPARE(m_searches.last(), Search("other", 1, "a"));
    QCOMPARE(Reports(), Strings({"level 10", "leader chief"}));
    QCOMPARE(Key("dnet_level"), "10");
    QCOMPARE(Key("dnet_group_leader"), "chief");

    // Level -1 clears the node's level, once.
    l_parents.SendDistributed(l_alpha, Messages::DistributedLevel(-1));
    l_parents.SendDistributed(l_alpha, Messages::DistributedLevel(-1));
    l_parents.SendDistributed(l_alpha, Messages::DistributedLevel(4));
    QVERIFY(l_children.WaitForFrames(l_child1, 8));
    QCOMPARE(Wires(l_children, l_child1).mid(6),
             Framed({Messages::DistributedLevel(-1), Messages::DistributedLevel(5)}));
    QCOMPARE(Reports(), Strings({"level -1", "level 5"}));

    // A new child learns the level and the leader at once.
    int l_child3 = 0;
    QVERIFY(AddChild(l_children, "child3", l_child3));
    QVERIFY(l_children.WaitForFrames(l_child3, 2));
    QCOMPARE(Wires(l_children, l_child3),
             Framed({Messages::DistributedLevel(5), Messages::DistributedGroupLeader("chief")}));

    // Losing the parent: the server hears it in this order; the children stay.
    l_parents.Close(l_alpha);
    QTRY_COMPARE_WITH_TIMEOUT(Key("dnet_parent_user"), "-", timeoutMs);
    QCOMPARE(Reports(), Strings({"has parent 0", "leader ", "level -1"}));
    QCOMPARE(Key("dnet_parent_socket"), "-");
    QCOMPARE(Key("dnet_level"), "-");
    QCOMPARE(Key("dnet_group_leader"), "-");
    QVERIFY(Logged("Parent socket closed"));
    QCOMPARE(Count("dnet_child"), 3);
    for (int l_child : {l_child1, l_child2, l_child3})
        QVERIFY(l_children.IsOpen(l_child));
    QCOMPARE(l_children.Frames(l_child1).size(), 8);
}

void TestDNet::adoptionWithoutLevelOrLeader()
{
    QVERIFY(LogIn());
    Reports();
    TestPeer l_peers;
    QVERIFY(l_peers.Listen());
    int l_child = 0;
    QVERIFY(AddChild(l_peers, "kid", l_child));
    int l_gamma = 0;
    QVERIFY(AddCandidate(l_peers, "gamma", l_gamma));
    const QByteArray l_search = Messages::DistributedSearch("s", 9, "t");
    l_peers.SendDistributed(l_gamma, l_search);
    QVERIFY(l_peers.WaitForFrames(l_child, 2));
    QCOMPARE(Wires(l_peers, l_child), Framed({Messages::DistributedGroupLeader(""), l_search}));
    QCOMPARE(Reports(), Strings({"leader ", "has parent 1"}));
    QCOMPARE(Key("dnet_level"), "-");
    QCOMPARE(Key("dnet_group_leader"), "");

    // With a parent, a connection that comes up is deleted and a list of parents is ignored.
    int l_late = 0;
    QVERIFY(AddCandidate(l_peers, "delta", l_late));
    QVERIFY(Logged("Rejecting, already have parent"));
    QVERIFY(l_peers.WaitForDisconnected(l_late));
    const QByteArray l_list = WireWriter()
                                  .WriteI32(1)
                                  .WriteString("epsilon")
                                  .WriteU32(QHostAddress(QHostAddress::LocalHost).toIPv4Address())
                                  .WriteI32(l_peers.PlainPort())
                                  .Bytes();
    QVERIFY(Deliver(102, l_list));
    QVERIFY(
        LastLogged("Received possible parents list, but already have a parent. Not processing."));
    QVERIFY(d.GetType("user")->HasItem("epsilon")["attempted_dnet_connection"].IsNull());
    QCOMPARE(Reports(), QStringList());
}

void TestDNet::candidateRecordsAndServerMessages()
{
    QVERIFY(LogIn());
    Reports();
    TestPeer l_peers;
    QVERIFY(l_peers.Listen());
    int l_child = 0;
    QVERIFY(AddChild(l_peers, "kid", l_child));
    int l_candidate = 0;
    QTcpSocket* lp_candidate = AddCandidate(l_peers, "cand", l_candidate);
    QVERIFY(lp_candidate);
    // The latest level and leader are kept; earlier ones do not stay behind in the store.
    for (const QByteArray& l_message :
         {Messages::DistributedLevel(5), Messages::DistributedLevel(7),
          Messages::DistributedLevel(-1), Messages::DistributedGroupLeader("w"),
          Messages::DistributedGroupLeader("x")})
        l_peers.SendDistributed(l_candidate, l_message);
    QTRY_COMPARE_WITH_TIMEOUT(CandidateValue(lp_candidate, "dnet_candidate_leader"), "x",
                              timeoutMs);
    QCOMPARE(CandidateValue(lp_candidate, "dnet_candidate_level"), "8");
    QCOMPARE(Count("dnet_candidate_level"), 1);
    QCOMPARE(Count("dnet_candidate_leader"), 1);

    // Levels and leaders embedded by the server are read and have no effect; other embedded
    // messages are passed on unread.
    QVERIFY(Deliver(93, Messages::DistributedLevel(3)));
    QVERIFY(Deliver(93, Messages::DistributedGroupLeader("srv")));
    const QByteArray l_unknown = Messages::DistributedEmbedded(50, "xyz");
    QVERIFY(Deliver(93, l_unknown));
    QVERIFY(Deliver(130, {}));
    QVERIFY(Deliver(128, I32(-5)));
    QVERIFY(Logged("Received DNet reset request"));
    QVERIFY(Logged("Received DNet delivery report request, req -5"));
    QCOMPARE(Key("dnet_level"), "-");
    QCOMPARE(Key("dnet_group_leader"), "-");
    QCOMPARE(Reports(), QStringList());
    QVERIFY(l_peers.WaitForFrames(l_child, 1));
    QCOMPARE(Wires(l_peers, l_child), Framed({l_unknown}));
    QVERIFY(m_searches.isEmpty());

    l_peers.Close(l_candidate);
    QTRY_COMPARE_WITH_TIMEOUT(Count("dnet_parent_candidate"), 0, timeoutMs);
    QVERIFY(Logged("Parent candidate socket closed"));
    QCOMPARE(Key("dnet_parent_user"), "-");
    QCOMPARE(Reports(), QStringList());
}

void TestDNet::searchesFromTheServer()
{
    // The whole road: another user's search reaches the TestServer, which embeds it in its
    // message 93 to this client, which hands it on and passes it to its children as it came.
    mp_harness->Central().SetAutomaticReplies(true);
    m_connection = mp_harness->ConnectAndAwaitLogin("me", "secret");
    QTRY_COMPARE_WITH_TIMEOUT(mp_harness->ClientState(), 2, timeoutMs);
    TestPeer l_children;
    int l_child = 0;
    QVERIFY(AddChild(l_children, "kid", l_child));

    FrameClient l_searcher;
    QVERIFY(l_searcher.Connect(mp_harness->Central().Port()));
    const QByteArray l_hash =
        QCryptographicHash::hash("searcherpw", QCryptographicHash::Md5).toHex();
    l_searcher.SendMessage(1, WireWriter()
                                  .WriteString("searcher")
                                  .WriteString("pw")
                                  .WriteU32(160)
                                  .WriteString(l_hash)
                                  .WriteU32(1)
                                  .Bytes());
    QVERIFY(l_searcher.Take(1));
    l_searcher.SendMessage(26, WireWriter().WriteU32(777).WriteString("blue train").Bytes());
    QTRY_COMPARE_WITH_TIMEOUT(m_searches.size(), 1, timeoutMs);
    QCOMPARE(m_searches[0], Search("searcher", 777, "blue train"));
    QVERIFY(l_children.WaitForFrames(l_child, 1));
    QCOMPARE(Wires(l_children, l_child),
             Framed({Messages::DistributedSearch("searcher", 777, "blue train")}));
    QCOMPARE(l_children.Frames(l_child)[0].code, 3u);
    QCOMPARE(Key("dnet_parent_user"), "-");
}

void TestDNet::childrenDepthAndCapacity()
{
    QVERIFY(LogIn());
    Reports();
    TestPeer l_peers;
    int l_kid1 = 0;
    int l_kid2 = 0;
    QVERIFY(AddChild(l_peers, "kid1", l_kid1));
    QVERIFY(AddChild(l_peers, "kid2", l_kid2));

    // 1024 bytes/s and 5 per child: room for 2 children, which are there.
    TestSettings::SetSetting("upload_speed", 1024);
    QVERIFY(Deliver(83, I32(0)));
    QVERIFY(Deliver(84, I32(5)));
    QVERIFY(Logged("Currently have 2 child connections, max capacity 2"));
    QCOMPARE(Reports(), QStringList());

    l_peers.SendDistributed(l_kid1, Messages::DistributedChildDepth(0));
    QTRY_COMPARE_WITH_TIMEOUT(Key("dnet_child_depth"), "1", timeoutMs);
    l_peers.SendDistributed(l_kid2, Messages::DistributedChildDepth(2));
    QTRY_COMPARE_WITH_TIMEOUT(Key("dnet_child_depth"), "3", timeoutMs);
    l_peers.SendDistributed(l_kid1, Messages::DistributedChildDepth(1));
    l_peers.SendDistributed(l_kid1, Messages::DistributedMessage(9, "x"));
    QTRY_VERIFY_WITH_TIMEOUT(Logged("Received message from child, code 9"), timeoutMs);
    QVERIFY(Logged("Received child depth 2 from kid2"));
    QCOMPARE(LoggedCount("New child depth is 3"), 1);
    QCOMPARE(Reports(), Strings({"child depth 1", "child depth 1"}));
    QCOMPARE(Count("dnet_child_depth"), 2);

    // A second connection of a user replaces the first.
    int l_kid1Again = 0;
    QVERIFY(AddChild(l_peers, "kid1", l_kid1Again));
    QVERIFY(Logged("Child connection already found, closing old connection."));
    QVERIFY(l_peers.WaitForDisconnected(l_kid1));
    QCOMPARE(Count("dnet_child"), 2);

    // Children that leave keep the depth; fewer children leave room for more.
    l_peers.Close(l_kid2);
    QTRY_COMPARE_WITH_TIMEOUT(Count("dnet_child"), 1, timeoutMs);
    QVERIFY(Logged("Child socket closed"));
    QCOMPARE(Key("dnet_child_depth"), "3");
    QVERIFY(Deliver(84, I32(5)));
    QCOMPARE(Reports(), Strings({"can parent 1"}));

    // Depths are the children's numbers, whatever they are: one more than 2^31 - 1 is kept, and
    // a depth of -1 adds nothing.
    l_peers.SendDistributed(l_kid1Again, Messages::DistributedChildDepth(quint32(int32Max)));
    QTRY_COMPARE_WITH_TIMEOUT(Key("dnet_child_depth"), "2147483648", timeoutMs);
    int l_kid3 = 0;
    QVERIFY(AddChild(l_peers, "kid3", l_kid3));
    l_peers.SendDistributed(l_kid3, Messages::DistributedChildDepth(0xffffffffu));
    QTRY_VERIFY_WITH_TIMEOUT(Logged("Received child depth -1 from kid3"), timeoutMs);
    QCOMPARE(Key("dnet_child_depth"), "2147483648");
    QCOMPARE(Reports(), Strings({"child depth 1"}));

    // An empty message closes the child's connection.
    l_peers.SendRaw(l_kid3, Messages::FrameHeader(0));
    QVERIFY(l_peers.WaitForDisconnected(l_kid3));
    QVERIFY(Logged("Error reading message code, closing child connection"));
    QTRY_COMPARE_WITH_TIMEOUT(Count("dnet_child"), 1, timeoutMs);
}

void TestDNet::framesInPiecesTogetherAndBeforeHandOver()
{
    QVERIFY(LogIn());
    TestPeer l_peers;
    QVERIFY(l_peers.Listen());
    int l_child = 0;
    QVERIFY(AddChild(l_peers, "kid", l_child));

    // Frames that arrived before the hand-over are read at once, without more data.
    int l_parent = 0;
    QTcpSocket* lp_parent = AddCandidate(l_peers, "early", l_parent, false);
    QVERIFY(lp_parent);
    const QByteArray l_early = Messages::Frame(Messages::DistributedLevel(7)) +
                               Messages::Frame(Messages::DistributedSearch("u", 1, "early"));
    l_peers.SendRaw(l_parent, l_early);
    QTRY_COMPARE_WITH_TIMEOUT(lp_parent->bytesAvailable(), qint64(l_early.size()), timeoutMs);
    emit peerMessenger->DNetConnectionAccepted("early", lp_parent);
    QTRY_COMPARE_WITH_TIMEOUT(m_searches.size(), 1, timeoutMs);
    QCOMPARE(Key("dnet_parent_user"), "early");
    QCOMPARE(Key("dnet_level"), "8");

    // A frame in pieces is handled once, when its last piece is there.
    const QByteArray l_search = Messages::Frame(Messages::DistributedSearch("u", 2, "pieces"));
    qint64 l_sent = 0;
    for (qsizetype l_piece : {2, 5, 4})
    {
        l_peers.SendRaw(l_parent, l_search.mid(l_sent, l_piece));
        l_sent += l_piece;
        QTRY_COMPARE_WITH_TIMEOUT(lp_parent->bytesAvailable(), l_sent, timeoutMs);
    }
    QCOMPARE(m_searches.size(), 1);
    l_peers.SendRaw(l_parent, l_search.mid(l_sent));
    QTRY_COMPARE_WITH_TIMEOUT(m_searches.size(), 2, timeoutMs);
    QCOMPARE(m_searches[1], Search("u", 2, "pieces"));

    // Two frames in one write are both handled.
    l_peers.SendRaw(l_parent, Messages::Frame(Messages::DistributedLevel(1)) + l_search);
    QTRY_COMPARE_WITH_TIMEOUT(m_searches.size(), 3, timeoutMs);
    QCOMPARE(Key("dnet_level"), "2");
    QVERIFY(l_peers.WaitForFrames(l_child, 6));
    QCOMPARE(
        Wires(l_peers, l_child).mid(3),
        (QList<QByteArray>{l_search, Messages::Frame(Messages::DistributedLevel(2)), l_search}));

    // An empty message closes the parent's connection.
    l_peers.SendRaw(l_parent, Messages::FrameHeader(0));
    QVERIFY(l_peers.WaitForDisconnected(l_parent));
    QVERIFY(Logged("Error reading message code, closing parent/candidate connection"));
    QTRY_COMPARE_WITH_TIMEOUT(Key("dnet_parent_user"), "-", timeoutMs);
}

void TestDNet::frameLengthLimits()
{
    QVERIFY(LogIn());
    TestPeer l_peers;
    QVERIFY(l_peers.Listen());

    // A negative length or one above 10 MiB closes the connection on its header alone.
    int l_candidate = 0;
    QVERIFY(AddCandidate(l_peers, "cand", l_candidate));
    l_peers.SendRaw(l_candidate, Messages::FrameHeader(0xffffffffu));
    QVERIFY(l_peers.WaitForDisconnected(l_candidate));
    QVERIFY(Logged("Invalid frame length -1, closing parent/candidate connection"));
    QTRY_COMPARE_WITH_TIMEOUT(Count("dnet_parent_candidate"), 0, timeoutMs);
    int l_child = 0;
    QVERIFY(AddChild(l_peers, "big", l_child));
    l_peers.SendRaw(l_child, Messages::FrameHeader(DNetManager::MaxFrameLength + 1));
    QVERIFY(l_peers.WaitForDisconnected(l_child));
    QVERIFY(Logged("Invalid frame length 10485761, closing child connection"));
    QTRY_COMPARE_WITH_TIMEOUT(Count("dnet_child"), 0, timeoutMs);

    // Exactly 10 MiB is waited for and handled.
    QTcpSocket* lp_child = AddChild(l_peers, "big", l_child);
    QVERIFY(lp_child);
    l_peers.SendRaw(l_child, Messages::FrameHeader(DNetManager::MaxFrameLength));
    QTRY_COMPARE_WITH_TIMEOUT(lp_child->bytesAvailable(), qint64(4), timeoutMs);
    QByteArray l_body(DNetManager::MaxFrameLength, '\0');
    l_body[0] = 9;
    l_peers.SendRaw(l_child, l_body);
    QTRY_VERIFY_WITH_TIMEOUT(Logged("Received message from child, code 9"), timeoutMs);
    QVERIFY(l_peers.IsOpen(l_child));
    QCOMPARE(lp_child->bytesAvailable(), qint64(0));
}

void TestDNet::malformedMessagesAndNumbers()
{
    QVERIFY(LogIn());
    Reports();
    TestPeer l_peers;
    QVERIFY(l_peers.Listen());
    int l_child = 0;
    QVERIFY(AddChild(l_peers, "kid", l_child));

    // Fields that end early, or a string over 131072 bytes, close the connection.
    const QByteArray l_longLeader = Messages::DistributedMessage(
        5, WireWriter().WriteU32(131073).Bytes() + QByteArray(131073, 'a'));
    for (const QByteArray& l_message :
         {Messages::DistributedEmbedded(49, WireWriter().WriteString("u").Bytes()), l_longLeader,
          Messages::DistributedMessage(4, "\x01\x00")})
    {
        int l_candidate = 0;
        QVERIFY(AddCandidate(l_peers, "bad", l_candidate));
        l_peers.SendDistributed(l_candidate, l_message);
        QVERIFY(l_peers.WaitForDisconnected(l_candidate));
        QTRY_COMPARE_WITH_TIMEOUT(Count("dnet_parent_candidate"), 0, timeoutMs);
    }
    for (int l_code : {3, 5, 4})
        QVERIFY(Lines().contains(
            QStringLiteral("Malformed message, code %1, closing parent/candidate connection")
                .arg(l_code)));

    // From the server such a message is dropped; the connection stays.
    QVERIFY(Deliver(93, Messages::DistributedEmbedded(49, WireWriter().WriteString("u").Bytes())));
    QVERIFY(Logged("Malformed message from the server, code 3, dropped"));
    QVERIFY(mp_harness->Client().IsConnected());

    // A level with no level below it is refused; the candidate stays.
    int l_candidate = 0;
    QTcpSocket* lp_candidate = AddCandidate(l_peers, "top", l_candidate);
    l_peers.SendDistributed(l_candidate, Messages::DistributedLevel(int32Max));
    QTRY_VERIFY_WITH_TIMEOUT(Logged("Level 2147483647 out of range, ignored"), timeoutMs);
    QCOMPARE(CandidateValue(lp_candidate, "dnet_candidate_level"), "-");
    QVERIFY(l_peers.IsOpen(l_candidate));

    // A child's depth that ends early closes its connection.
    l_peers.SendDistributed(l_child, Messages::DistributedMessage(7, "\x01"));
    QVERIFY(l_peers.WaitForDisconnected(l_child));
    QVERIFY(Logged("Malformed message, code 7, closing child connection"));

    QVERIFY(m_searches.isEmpty());
    QVERIFY(l_peers.Frames(l_child).isEmpty());
    QCOMPARE(Reports(), QStringList());
}

void TestDNet::throughThePeerMessenger()
{
    // The server's list of parents makes the peer messenger connect to them; a child connects to
    // the listening port and says at once how deep it is.
    peerMessenger->SetListeningAddress(QHostAddress(QHostAddress::LocalHost));
    TestSettings::SetSetting("listening_port", 0);
    TestSettings::SetSetting("obfuscated_listening_port", 0);
    peerMessenger->DataLoaded();
    QVERIFY(peerMessenger->ListeningPort() != 0);
    QVERIFY(LogIn());
    Reports();
    TestPeer l_parents;
    QVERIFY(l_parents.Listen());
    const quint32 l_loopback = QHostAddress(QHostAddress::LocalHost).toIPv4Address();
    const auto l_list = [&](std::initializer_list<const char*> i_names)
    {
        WireWriter l_writer;
        l_writer.WriteI32(qint32(i_names.size()));
        for (const char* lp_name : i_names)
            l_writer.WriteString(lp_name).WriteU32(l_loopback).WriteI32(l_parents.PlainPort());
        return l_writer.Bytes();
    };
    QVERIFY(Deliver(102, l_list({"pa", "pb"})));
    QVERIFY(Logged("Received possible parents list, 2 entries"));
    QVERIFY(Logged("Attempting parent connection to pb"));
    ItemPtr l_pa = d.GetType("user")->HasItem("pa");
    QCOMPARE(l_pa["user_address"].AsString(), "2130706433");
    QCOMPARE(l_pa["user_port"].AsInt(), int(l_parents.PlainPort()));
    QVERIFY(l_pa.IsConnected("attempted_dnet_connection"));
    QTRY_COMPARE_WITH_TIMEOUT(Count("dnet_parent_candidate"), 2, timeoutMs);
    const QList<int> l_incoming = l_parents.IncomingConnectionIds();
    QCOMPARE(l_incoming.size(), 2);
    for (int l_connection : l_incoming)
    {
        QVERIFY(l_parents.WaitForFirstMessage(l_connection));
        QCOMPARE(l_parents.ReceivedFirstMessage(l_connection).type, "D");
        QCOMPARE(l_parents.GetMode(l_connection), TestPeer::Mode::Distributed);
    }

    TestPeer l_children;
    const int l_child = l_children.Dial(peerMessenger->ListeningPort(), false);
    l_children.SendPeerInit(l_child, "kid", "D");
    l_children.SendDistributed(l_child, Messages::DistributedChildDepth(4));
    QTRY_COMPARE_WITH_TIMEOUT(Key("dnet_child_depth"), "5", timeoutMs);
    QCOMPARE(Count("dnet_child"), 1);

    const QByteArray l_search = Messages::DistributedSearch("far", 12, "tune");
    l_parents.SendDistributed(l_incoming[1], l_search);
    QVERIFY(l_children.WaitForFrames(l_child, 2));
    QCOMPARE(Wires(l_children, l_child), Framed({Messages::DistributedGroupLeader(""), l_search}));
    QVERIFY(l_parents.WaitForDisconnected(l_incoming[0]));
    QCOMPARE(m_searches, QList<Search>{Search("far", 12, "tune")});
    QCOMPARE(Reports(), Strings({"child depth 1", "leader ", "has parent 1"}));

    // After the parent is lost, a new list is followed, but a user is asked only once a run.
    l_parents.Close(l_incoming[1]);
    QTRY_COMPARE_WITH_TIMEOUT(Key("dnet_parent_user"), "-", timeoutMs);
    QVERIFY(Deliver(102, l_list({"pa", "pc"})));
    QVERIFY(Logged("Already attempted parent connection to pa, skipping"));
    QTRY_COMPARE_WITH_TIMEOUT(Count("dnet_parent_candidate"), 1, timeoutMs);
    QCOMPARE(l_parents.IncomingConnectionIds().size(), 3);
    QVERIFY(l_children.IsOpen(l_child));
}

QTEST_GUILESS_MAIN(TestDNet)
#include "tst_dnet.moc"
