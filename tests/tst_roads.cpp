// Whole roads through the client's services as the start-up of the application makes them, with
// real sockets on 127.0.0.1: the test server in the middle, other users logged in to it with a
// bare frame client each and a test peer as their client. From the data file loaded at start-up
// to the rooms entered at the first login; chat in rooms and in private with acknowledgements; a
// search answered over a relayed and a direct connection; other users' searches reaching the
// children of this node; a lost server and the next tick's reconnection; the data file written and
// read back.
#include "DNetManager.h"
#include "Data.h"
#include "DataSaver.h"
#include "FrameClient.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>

namespace
{
using Messages = TestPeerMessages;

constexpr int timeoutMs = 20000;

QString Text(const std::string& i_text)
{
    return QString::fromStdString(i_text);
}

QStringList Lines(std::initializer_list<const char*> i_lines)
{
    QStringList l_lines;
    for (const char* lp_line : i_lines)
        l_lines.append(QString::fromUtf8(lp_line));
    return l_lines;
}

QByteArray Strings(std::initializer_list<QByteArray> i_strings)
{
    WireWriter l_writer;
    for (const QByteArray& l_string : i_strings)
        l_writer.WriteString(l_string);
    return l_writer.Bytes();
}

ItemPtr UserItem(const char* ip_name)
{
    return d.GetType("user")->HasItem(ip_name);
}

ItemPtr RoomItem(const char* ip_name)
{
    return d.GetType("room")->HasItem(ip_name);
}

bool InRoom(const char* ip_user, const char* ip_room)
{
    ItemPtr l_user = UserItem(ip_user);
    return l_user && l_user.IsConnected(RoomItem(ip_room));
}

// A data file as an earlier run left it, written from the file format itself: the rooms lobby
// and music to enter at login, alice on the user list in the group friends, eve ignored.
QByteArray StartUpDataFile()
{
    WireWriter l_file;
    l_file.WriteI32(6);
    l_file.WriteString("room").WriteBool(false).WriteI32(2);
    l_file.WriteI32(1).WriteString("lobby").WriteI32(2).WriteString("music");
    l_file.WriteString("room_autojoin").WriteBool(true).WriteI32(1).WriteI32(3);
    l_file.WriteString("user").WriteBool(false).WriteI32(2);
    l_file.WriteI32(4).WriteString("alice").WriteI32(5).WriteString("eve");
    l_file.WriteString("in_user_list").WriteBool(true).WriteI32(1).WriteI32(6);
    l_file.WriteString("user_list_group").WriteBool(false).WriteI32(1);
    l_file.WriteI32(7).WriteString("friends");
    l_file.WriteString("is_ignored").WriteBool(true).WriteI32(1).WriteI32(8);
    const QList<QPair<qint32, qint32>> l_pairs = {{1, 3}, {3, 2}, {4, 6}, {7, 6}, {8, 5}};
    l_file.WriteI32(qint32(l_pairs.size()));
    for (const auto& l_pair : l_pairs)
        l_file.WriteI32(l_pair.first).WriteI32(l_pair.second);
    return l_file.Bytes();
}

// An item as text: its type and value; a valueless item also names the valued items it is
// connected to, which tells apart the per-user items of one type.
QString Label(Item* ip_item)
{
    const QString l_type = Text(ip_item->GetType()->Name());
    if (!ip_item->GetType()->IsNull())
        return l_type + QLatin1Char(':') + Text(ip_item->Value());
    QStringList l_partners;
    for (const Item::Connection& l_group : ip_item->Connections())
        if (!l_group.mp_type->IsNull())
            for (Item* lp_partner : l_group.m_items)
                l_partners.append(Label(lp_partner));
    l_partners.sort();
    return l_type + QLatin1Char('{') + l_partners.join(QLatin1Char(',')) + QLatin1Char('}');
}

// The items for which the predicate holds and the connections between them, as sorted lines.
QStringList Snapshot(const std::function<bool(Item*)>& i_included)
{
    QStringList l_lines;
    for (Type* lp_type : d.Types())
        for (Item* lp_item : lp_type->GetItems())
        {
            if (!i_included(lp_item))
                continue;
            const QString l_label = Label(lp_item);
            l_lines.append(l_label);
            for (const Item::Connection& l_group : lp_item->Connections())
                for (Item* lp_partner : l_group.m_items)
                    if (i_included(lp_partner) && l_label < Label(lp_partner))
                        l_lines.append(l_label + QStringLiteral(" -- ") + Label(lp_partner));
        }
    l_lines.sort();
    return l_lines;
}

// What the data file keeps: the settings, the rooms to enter at login, the user list with its
// groups and their priorities, and the ignored users.
bool Kept(Item* ip_item)
{
    const std::string& l_type = ip_item->GetType()->Name();
    if (l_type == "room")
        return ip_item->IsConnected("room_autojoin");
    if (l_type == "user")
        return ip_item->IsConnected("in_user_list") || ip_item->IsConnected("is_ignored");
    if (l_type == "global_value")
        return ip_item->IsConnected("global");
    if (l_type == "group_download_priority")
        return ip_item->IsConnected("user_list_group");
    return l_type == "global" || l_type == "room_autojoin" || l_type == "in_user_list" ||
           l_type == "user_list_group" || l_type == "is_ignored";
}

// One search result of a user as text.
QString Describe(ItemPtr i_results)
{
    QStringList l_files;
    for (Item* lp_result : i_results.GetItems("search_result"))
    {
        ItemPtr l_result(lp_result);
        l_files.append(QStringLiteral("%1|%2|%3|%4|%5|%6")
                           .arg(Text(l_result["search_result_file_folder"].AsString()),
                                Text(l_result["search_result_file_name"].AsString()),
                                Text(l_result["file_size"].AsString()),
                                Text(l_result["bitrate"].AsString()),
                                Text(l_result["length_seconds"].AsString()),
                                Text(l_result["bitrate_mode"].AsString())));
    }
    l_files.sort();
    return QStringLiteral("%1 free %2 speed %3 queue %4: ")
               .arg(Text(i_results["user"].AsString()),
                    Text(i_results["search_results_user_available"].AsString()),
                    Text(i_results["search_results_user_speed"].AsString()),
                    Text(i_results["search_results_uploads_in_queue"].AsString())) +
           l_files.join(QStringLiteral(", "));
}

Messages::File MakeFile(const QByteArray& i_name, quint64 i_size,
                        QList<Messages::Attribute> i_attributes)
{
    Messages::File l_file;
    l_file.name = i_name;
    l_file.size = i_size;
    l_file.extension = "mp3";
    l_file.attributes = i_attributes;
    return l_file;
}

// The next frame of the code that the user's client received, or "none".
QByteArray Next(FrameClient& i_client, quint32 i_code)
{
    return i_client.Take(i_code, timeoutMs).value_or(QByteArrayLiteral("none"));
}

QList<QByteArray> Wires(const TestPeer& i_peer, int i_connection)
{
    QList<QByteArray> l_wires;
    for (const TestPeer::Frame& l_frame : i_peer.Frames(i_connection))
        l_wires.append(l_frame.wire);
    return l_wires;
}
} // namespace

class TestRoads : public QObject
{
    Q_OBJECT

    QTemporaryDir m_folder;
    std::unique_ptr<PeerHarness> mp_harness;
    // The client's connection on the test server; a reconnection makes a new one.
    int m_connection = 0;
    // What the services announced, as text, in order.
    QStringList m_events;
    QList<ItemPtr> m_results;

    Server& Client() { return mp_harness->Client(); }
    TestServer& Central() { return mp_harness->Central(); }

    qsizetype Acknowledgements() const
    {
        return mp_harness->Central().ReceivedFrames(m_connection, 23).size();
    }

    void WatchServices()
    {
        connect(
            &Client(), &Server::RoomChat, this,
            [this](std::string i_room, std::string i_user, std::string i_chat)
            {
                m_events.append(
                    QStringLiteral("room %1 %2: %3").arg(Text(i_room), Text(i_user), Text(i_chat)));
            });
        connect(&Client(), &Server::PrivateChat, this,
                [this](std::string i_user, std::string i_chat, time_t i_time, bool i_spontaneous)
                {
                    QVERIFY(i_time > 0);
                    m_events.append(
                        QStringLiteral("private %1: %2%3")
                            .arg(Text(i_user), Text(i_chat),
                                 i_spontaneous ? QString() : QStringLiteral(" (kept)")));
                });
        connect(&Client(), &Server::SearchRequested, this,
                [this](unsigned int i_req, std::string i_search, bool i_wishList)
                {
                    m_events.append(QStringLiteral("search %1 %2 %3")
                                        .arg(i_req)
                                        .arg(Text(i_search))
                                        .arg(int(i_wishList)));
                });
        connect(&mp_harness->Messenger(), &PeerMessenger::SearchResults, this,
                [this](ItemPtr i_results) { m_results.append(i_results); });
        connect(dnetManager, &DNetManager::DNetSearchRequest, this,
                [this](std::string i_user, quint32 i_req, std::string i_text)
                {
                    m_events.append(QStringLiteral("distributed search %1 %2 %3")
                                        .arg(Text(i_user))
                                        .arg(i_req)
                                        .arg(Text(i_text)));
                });
    }

    // Another user logged in to the test server, with the test peer's ports.
    std::unique_ptr<FrameClient> LogInUser(const QByteArray& i_user, TestPeer& i_peer)
    {
        if (!i_peer.Listen())
            qFatal("test peer: cannot listen");
        return mp_harness->LogInPeer(i_user, i_peer);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_folder.isValid());
        QFile l_file(m_folder.filePath(QStringLiteral("startup")));
        QVERIFY(l_file.open(QIODevice::WriteOnly));
        QVERIFY(l_file.write(StartUpDataFile()) > 0);
        l_file.close();
        mp_harness =
            std::make_unique<PeerHarness>(PeerHarness::Services::WholeClient, l_file.fileName());
        m_connection = mp_harness->CentralConnection();
        WatchServices();
    }

    void cleanup()
    {
        mp_harness->ResetPeers();
        m_events.clear();
        m_results.clear();
    }

    void cleanupTestCase() { mp_harness.reset(); }

    // Must stay first: the rooms to enter belong to the first login of the run.
    void startUpRoomsAndChat()
    {
        // The data file was loaded before the first login, which entered its rooms; the server's
        // answers put the client in them.
        QList<QByteArray> l_entered;
        for (const auto& l_frame : mp_harness->SentFrames(m_connection))
            if (l_frame.code == 14)
                l_entered.append(l_frame.body);
        QCOMPARE(l_entered,
                 (QList<QByteArray>{WireWriter().WriteString("lobby").WriteU32(0).Bytes(),
                                    WireWriter().WriteString("music").WriteU32(0).Bytes()}));
        QTRY_VERIFY_WITH_TIMEOUT(RoomItem("lobby").IsConnected("in_room") &&
                                     RoomItem("music").IsConnected("in_room"),
                                 timeoutMs);
        QVERIFY(InRoom("me", "lobby"));
        QVERIFY(UserItem("eve").IsConnected("is_ignored"));
        QCOMPARE(UserItem("alice")["in_user_list"]["user_list_group"].AsString(),
                 std::string("friends"));

        // Another user comes into the room; chat goes both ways through the server.
        TestPeer l_bobPeer;
        auto lp_bob = LogInUser("bob", l_bobPeer);
        lp_bob->SendMessage(14, WireWriter().WriteString("lobby").WriteU32(0).Bytes());
        QTRY_VERIFY_WITH_TIMEOUT(InRoom("bob", "lobby"), timeoutMs);
        Client().SendRoomChat("lobby", "hello room");
        QCOMPARE(Next(*lp_bob, 13), Strings({"lobby", "me", "hello room"}));
        lp_bob->SendMessage(13, Strings({"lobby", "hi me"}));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_events, Lines({"room lobby me: hello room", "room lobby bob: hi me"}), timeoutMs);

        // Private messages both ways, each acknowledged by its recipient.
        Client().SendPrivateChat("bob", "psst");
        const auto l_toBob = lp_bob->Take(22, timeoutMs);
        QVERIFY(l_toBob);
        WireReader l_reader(*l_toBob);
        const quint32 l_id = l_reader.ReadU32();
        QVERIFY(l_reader.ReadU32() > 0);
        QCOMPARE(l_reader.ReadString(), "me");
        QCOMPARE(l_reader.ReadString(), "psst");
        QVERIFY(l_reader.ReadBool());
        lp_bob->SendMessage(23, WireWriter().WriteU32(l_id).Bytes());
        lp_bob->SendMessage(22, Strings({"me", "hello you"}));
        QTRY_COMPARE_WITH_TIMEOUT(Acknowledgements(), 1, timeoutMs);
        QCOMPARE(m_events.last(), QStringLiteral("private bob: hello you"));

        // An ignored user is heard by nobody, yet its message is acknowledged; the room chat
        // before it was handled first.
        TestPeer l_evePeer;
        auto lp_eve = LogInUser("eve", l_evePeer);
        lp_eve->SendMessage(14, WireWriter().WriteString("lobby").WriteU32(0).Bytes());
        QVERIFY(lp_eve->Take(14, timeoutMs));
        lp_eve->SendMessage(13, Strings({"lobby", "spam"}));
        lp_eve->SendMessage(22, Strings({"me", "more spam"}));
        QTRY_COMPARE_WITH_TIMEOUT(Acknowledgements(), 2, timeoutMs);
        QCOMPARE(m_events.size(), 3);
        QCOMPARE(Next(*lp_bob, 13), Strings({"lobby", "bob", "hi me"}));
        QCOMPARE(Next(*lp_bob, 13), Strings({"lobby", "eve", "spam"}));
    }

    // The search goes out through the server, which passes it on; one user answers over a
    // connection that it asks the server to relay to us, another connects to us directly.
    void searchAnsweredRelayedAndDirect()
    {
        TestPeer l_bobPeer;
        TestPeer l_carolPeer;
        auto lp_bob = LogInUser("bob", l_bobPeer);
        auto lp_carol = LogInUser("carol", l_carolPeer);

        const quint32 l_token = Client().FileSearch("blue train", false);
        QCOMPARE(m_events, QStringList{QStringLiteral("search %1 blue train 0").arg(l_token)});
        const QByteArray l_passedOn = Messages::DistributedSearch("me", l_token, "blue train");
        QCOMPARE(Next(*lp_bob, 93), l_passedOn);
        QCOMPARE(Next(*lp_carol, 93), l_passedOn);

        // bob: the server relays the request; the client connects to bob's obfuscated port and
        // presents the token.
        l_bobPeer.ExpectPierceFirewall(4711, "P");
        lp_bob->SendMessage(18,
                            WireWriter().WriteU32(4711).WriteString("me").WriteString("P").Bytes());
        const int l_bobConnection = l_bobPeer.NextIncoming(timeoutMs);
        QVERIFY(l_bobConnection >= 0);
        QVERIFY(l_bobPeer.WaitForFirstMessage(l_bobConnection, timeoutMs));
        QCOMPARE(l_bobPeer.ReceivedFirstMessage(l_bobConnection).body,
                 Messages::PierceFirewall(4711));
        QVERIFY(l_bobPeer.IsObfuscated(l_bobConnection));
        l_bobPeer.SendCompressedMessage(
            l_bobConnection, 9,
            Messages::SearchReplyContent(
                "bob", l_token,
                {MakeFile("Music\\Blue\\blue train.mp3", 7340032, {{0, 320}, {1, 183}, {2, 0}}),
                 MakeFile("Music\\Blue\\blue train (live).mp3", 9437184, {{0, 256}, {2, 1}})},
                1, 51200, 0));

        // carol connects directly, on the obfuscated port.
        const int l_carolConnection = mp_harness->DialIn(l_carolPeer, "carol", "P", true);
        l_carolPeer.SendCompressedMessage(
            l_carolConnection, 9,
            Messages::SearchReplyContent("carol", l_token, {MakeFile("old\\train.flac", 1000, {})},
                                         0, 800, 12));

        QTRY_COMPARE_WITH_TIMEOUT(m_results.size(), 2, timeoutMs);
        ItemPtr l_search = d.GetType("search_request")->HasItem(Value(l_token));
        QCOMPARE(l_search["search_request_text"].AsString(), std::string("blue train"));
        QStringList l_stored;
        for (Item* lp_results : l_search.GetItems("search_results"))
            l_stored.append(Describe(lp_results));
        l_stored.sort();
        QCOMPARE(l_stored, Lines({"bob free yes speed 51200 queue 0: "
                                  "Music\\Blue|blue train (live).mp3|9437184|256||vbr, "
                                  "Music\\Blue|blue train.mp3|7340032|320|183|cbr",
                                  "carol free no speed 800 queue 12: old|train.flac|1000|||"}));
        for (const ItemPtr& l_results : m_results)
            QVERIFY(l_results.IsConnected(l_search));
        QVERIFY(PeerHarness::SocketOf("peer_socket", "bob"));
        QVERIFY(PeerHarness::SocketOf("peer_socket", "carol"));
        QCOMPARE(d.GetType("peer_connection_request")->ItemCount(), std::size_t(0));
    }

    // Another user's search reaches this node from its distributed parent and, embedded, from
    // the server; both are handed to the sharing side and passed to the child as they came.
    void distributedSearchesReachChildren()
    {
        TestPeer l_children;
        const int l_child = l_children.Dial(mp_harness->Messenger().ListeningPort(), false);
        l_children.SendPeerInit(l_child, "kid", "D");
        QTRY_COMPARE_WITH_TIMEOUT(d.GetType("dnet_child")->ItemCount(), std::size_t(1), timeoutMs);

        // The server proposes a parent; the client connects to it.
        TestPeer l_parents;
        QVERIFY(l_parents.Listen());
        QVERIFY(
            mp_harness->Deliver(m_connection, 102,
                                WireWriter()
                                    .WriteI32(1)
                                    .WriteString("pa")
                                    .WriteU32(QHostAddress(QHostAddress::LocalHost).toIPv4Address())
                                    .WriteI32(l_parents.PlainPort())
                                    .Bytes()));
        const int l_parent = l_parents.NextIncoming(timeoutMs);
        QVERIFY(l_parent >= 0);
        QVERIFY(l_parents.WaitForFirstMessage(l_parent, timeoutMs));
        QCOMPARE(l_parents.ReceivedFirstMessage(l_parent).type, "D");
        QTRY_COMPARE_WITH_TIMEOUT(d.GetType("dnet_parent_candidate")->ItemCount(), std::size_t(1),
                                  timeoutMs);

        const QByteArray l_fromParent = Messages::DistributedSearch("far", 12, "tune");
        l_parents.SendDistributed(l_parent, l_fromParent);
        QTRY_COMPARE_WITH_TIMEOUT(m_events, Lines({"distributed search far 12 tune"}), timeoutMs);

        TestPeer l_searcherPeer;
        auto lp_searcher = LogInUser("searcher", l_searcherPeer);
        lp_searcher->SendMessage(26, WireWriter().WriteU32(777).WriteString("green grass").Bytes());
        QTRY_COMPARE_WITH_TIMEOUT(m_events.size(), 2, timeoutMs);
        QCOMPARE(m_events.last(), QStringLiteral("distributed search searcher 777 green grass"));

        QVERIFY(l_children.WaitForFrames(l_child, 3, timeoutMs));
        QCOMPARE(Wires(l_children, l_child),
                 (QList<QByteArray>{Messages::Frame(Messages::DistributedGroupLeader("")),
                                    Messages::Frame(l_fromParent),
                                    Messages::Frame(Messages::DistributedSearch("searcher", 777,
                                                                                "green grass"))}));
        QCOMPARE(d.GetType("dnet_global")->HasItem("dnet_parent_user")["dnet_value"].AsString(),
                 std::string("pa"));
    }

    // The server goes away while the client is logged in; the next tick of the 30 s timer logs in
    // again, and the login tells the server again what it must know.
    void serverDropAndReconnection()
    {
        TestPeer l_bobPeer;
        auto lp_bob = LogInUser("bob", l_bobPeer);
        Client().TrackUser("bob");
        QTRY_VERIFY_WITH_TIMEOUT(UserItem("bob").IsConnected("is_online"), timeoutMs);

        QSignalSpy l_disconnected(&Client(), &Server::Disconnected);
        Central().DropConnection(m_connection);
        QVERIFY(l_disconnected.wait(timeoutMs));
        QVERIFY(Client().IsAbruptlyDisconnected());
        QVERIFY(!UserItem("bob").IsConnected("is_online"));

        // Meanwhile: another user to watch, an address to ask for, and a message from bob that
        // the server keeps for us.
        Client().TrackUser("dave");
        Client().GetUserAddress("carol");
        lp_bob->SendMessage(22, Strings({"me", "while you were away"}));
        QTRY_COMPARE_WITH_TIMEOUT(
            Central().ReceivedFrames(Central().ConnectionOf("bob"), 22).size(), 1, timeoutMs);

        QSignalSpy l_connecting(&Client(), &Server::Connecting);
        PeerHarness::Tick();
        QCOMPARE(l_connecting.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(Client().IsConnected(), timeoutMs);
        m_connection = Central().ConnectionOf("me");
        QTRY_COMPARE_WITH_TIMEOUT(m_events, Lines({"private bob: while you were away (kept)"}),
                                  timeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(Acknowledgements(), 1, timeoutMs);

        QList<TestServer::ReceivedFrame> l_told = mp_harness->SentFrames(m_connection);
        l_told.removeIf(
            [](const TestServer::ReceivedFrame& i_frame) {
                return i_frame.code != 2 && i_frame.code != 3 && i_frame.code != 5 &&
                       i_frame.code != 14;
            });
        QCOMPARE(l_told.size(), 4);
        QCOMPARE(l_told[0].code, 2u);
        QCOMPARE(l_told[0].body, WireWriter()
                                     .WriteU32(mp_harness->Messenger().ListeningPort())
                                     .WriteU32(1)
                                     .WriteU32(mp_harness->Messenger().ObfuscatedListeningPort())
                                     .Bytes());
        QCOMPARE(l_told[1].code, 5u);
        QCOMPARE(l_told[1].body, Strings({"bob"}));
        QCOMPARE(l_told[2].code, 5u);
        QCOMPARE(l_told[2].body, Strings({"dave"}));
        QCOMPARE(l_told[3].code, 3u);
        QCOMPARE(l_told[3].body, Strings({"carol"}));
        QTRY_VERIFY_WITH_TIMEOUT(UserItem("bob").IsConnected("is_online"), timeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(!UserItem("carol").IsConnected("user_address_request"), timeoutMs);

        // Connected, a tick does nothing. The server keeps no message for us: every one was
        // acknowledged with its own id (also those of the roads before).
        PeerHarness::Tick();
        QCOMPARE(l_connecting.count(), 1);
        Central().DropConnection(m_connection);
        QVERIFY(l_disconnected.wait(timeoutMs));
        PeerHarness::Tick();
        QTRY_VERIFY_WITH_TIMEOUT(Client().IsConnected(), timeoutMs);
        m_connection = Central().ConnectionOf("me");
        QVERIFY(mp_harness->Deliver(
            m_connection, 7, WireWriter().WriteString("bob").WriteI32(2).WriteU8(0).Bytes()));
        QCOMPARE(m_events.size(), 1);
    }

    // Must stay last: it throws the store away.
    void dataFileRoundTrip()
    {
        // Besides what the start-up file brought: bob on the user list in two groups, a group
        // priority, another ignored user, a room no longer to enter; and all the state of the
        // roads before, none of which is kept, nor a priority that no group holds.
        ItemPtr l_bob = d.GetType("user")->GetItem("bob");
        ItemPtr l_entry = l_bob.NewItem("in_user_list");
        l_entry += d.GetType("user_list_group")->GetItem("friends");
        l_entry += d.GetType("user_list_group")->GetItem("band");
        ItemPtr(d.GetType("user_list_group")->GetItem("band")) +=
            d.GetType("group_download_priority")->GetItem("2");
        ItemPtr(d.GetType("user")->GetItem("mallory")).NewItem("is_ignored");
        RoomItem("music").Disconnect("room_autojoin");
        d.GetType("group_download_priority")->GetItem("5");
        const QStringList l_kept = Snapshot(Kept);
        const QStringList l_all = Snapshot([](Item*) { return true; });
        for (const char* lp_gone : {"room:music", "user:carol", "group_download_priority:5",
                                    "is_tracked{user:bob,user:dave}"})
        {
            QVERIFY2(l_all.contains(QString::fromLatin1(lp_gone)), lp_gone);
            QVERIFY(!l_kept.contains(QString::fromLatin1(lp_gone)));
        }
        QVERIFY(l_kept.contains(QStringLiteral("room_autojoin{room:lobby}")));
        QVERIFY(
            l_kept.contains(QStringLiteral("group_download_priority:2 -- user_list_group:band")));
        QVERIFY(l_kept.contains(
            QStringLiteral("in_user_list{user:bob,user_list_group:band,user_list_group:friends}")));
        QVERIFY(
            l_kept.contains(QStringLiteral("is_ignored{user:eve,user:mallory} -- user:mallory")));
        const quint16 l_port = mp_harness->Messenger().ListeningPort();

        const QString l_path = m_folder.filePath(QStringLiteral("saved"));
        dataSaver->Save(l_path);
        Client().Disconnect();
        mp_harness->ResetPeers();
        d.RemoveAllItems();
        QCOMPARE(Snapshot([](Item*) { return true; }), QStringList());
        dataSaver->Load(l_path);
        QCOMPARE(Snapshot([](Item*) { return true; }), l_kept);
        QCOMPARE(mp_harness->Messenger().ListeningPort(), l_port);
    }
};

QTEST_GUILESS_MAIN(TestRoads)
#include "tst_roads.moc"
