// Every message that the central server sends, delivered through a real socket: what it makes of
// the store and which signals it emits, also when its body ends early or its lists disagree.
#include "Data.h"
#include "MemStream.h"
#include "Server.h"
#include "ServerHarness.h"
#include "StoreRecorder.h"
#include "TestSettings.h"
#include "WireWriter.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace
{
using Frames = QList<TestServer::ReceivedFrame>;

ItemPtr UserItem(const char* ip_name)
{
    return d.GetType("user")->HasItem(ip_name);
}

ItemPtr RoomItem(const char* ip_name)
{
    return d.GetType("room")->HasItem(ip_name);
}

std::string ValueOf(ItemPtr i_item, const char* ip_type)
{
    return i_item[ip_type].AsString();
}

// The names of the users connected to the item, in the store's order.
QStringList UserNames(ItemPtr i_item)
{
    QStringList l_names;
    for (Item* lp_user : i_item.GetItems("user"))
        l_names.append(QString::fromStdString(lp_user->AsString()));
    return l_names;
}

QStringList RoomUsers(const char* ip_room)
{
    return UserNames(RoomItem(ip_room));
}

QStringList RoleUsers(const char* ip_room, const char* ip_role)
{
    return UserNames(RoomItem(ip_room)[ip_role]);
}

QStringList Names(std::initializer_list<const char*> i_names)
{
    return StoreRecorder::Lines(i_names);
}

QByteArray Stats(quint32 i_speed, quint32 i_files)
{
    return WireWriter().WriteUserStats(i_speed, 0x1122334455667788ULL, i_files, 9).Bytes();
}

QByteArray TwoStrings(const QByteArray& i_first, const QByteArray& i_second)
{
    return WireWriter().WriteString(i_first).WriteString(i_second).Bytes();
}

QByteArray StringField(const QByteArray& i_text)
{
    return WireWriter().WriteString(i_text).Bytes();
}

void Flag(ItemPtr i_item, const char* ip_flag)
{
    i_item.NewItem(ip_flag);
}
} // namespace

class TestServerMessages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void userAddress();
    void watchReply();
    void userStatus();
    void privateMessage();
    void userStatsAndPrivileges();
    void roomChat();
    void roomJoined();
    void roomJoinedListsOfDifferentLengths();
    void roomLeftAndUsersComingAndGoing();
    void roomList();
    void roomListCountsShorterThanNames();
    void privateRooms();
    void peerConnectionRequest();
    void distributedNetworkSignals();
    void possibleParents();
    void searchCorrelations();
    void unknownCodesAndEmptyBodies();
    void withTheAutomaticServer();

private:
    std::unique_ptr<ServerHarness> mp_harness;
    int m_connection = 0;
};

void TestServerMessages::initTestCase()
{
    mp_harness = std::make_unique<ServerHarness>();
}

void TestServerMessages::init()
{
    mp_harness->Reset();
    m_connection = mp_harness->LogIn();
    QVERIFY(m_connection);
    mp_harness->SentFrames(m_connection);
}

void TestServerMessages::cleanupTestCase()
{
    mp_harness->Reset();
    mp_harness.reset();
}

void TestServerMessages::userAddress()
{
    mp_harness->Client().GetUserAddress("bob");
    StoreRecorder l_recorder;
    l_recorder.WatchType(d.GetType("user"));
    QVERIFY(mp_harness->Deliver(m_connection, 3,
                                WireWriter()
                                    .WriteString("bob")
                                    .WriteU32(0x7f000001)
                                    .WriteI32(2234)
                                    .WriteI32(1)
                                    .WriteU16(50000)
                                    .Bytes()));
    ItemPtr l_bob = UserItem("bob");
    QCOMPARE(ValueOf(l_bob, "user_address"), std::string("2130706433"));
    QCOMPARE(ValueOf(l_bob, "user_port"), std::string("2234"));
    QCOMPARE(ValueOf(l_bob, "user_obfuscated_port"), std::string("50000"));
    QVERIFY(!l_bob.IsConnected("user_address_request"));
    // Address, then port, then the obfuscated port last: the peer layer waits for that one.
    QCOMPARE(l_recorder.Take(),
             StoreRecorder::Lines({"connected user:bob>user_address:2130706433",
                                   "connected user:bob>user_port:2234",
                                   "connected user:bob>user_obfuscated_port:50000",
                                   "disconnected user:bob>user_address_request"}));

    // The obfuscated port counts only with obfuscation type 1.
    QVERIFY(mp_harness->Deliver(m_connection, 3,
                                WireWriter()
                                    .WriteString("bob")
                                    .WriteU32(0x7f000002)
                                    .WriteI32(2240)
                                    .WriteI32(0)
                                    .WriteU16(777)
                                    .Bytes()));
    QCOMPARE(ValueOf(l_bob, "user_address"), std::string("2130706434"));
    QCOMPARE(ValueOf(l_bob, "user_obfuscated_port"), std::string("0"));

    // A body that ends after the name reads zeros, never what memory held.
    QVERIFY(mp_harness->Deliver(m_connection, 3, StringField("carol")));
    ItemPtr l_carol = UserItem("carol");
    QCOMPARE(ValueOf(l_carol, "user_address"), std::string("0"));
    QCOMPARE(ValueOf(l_carol, "user_port"), std::string("0"));
    QCOMPARE(ValueOf(l_carol, "user_obfuscated_port"), std::string("0"));
}

void TestServerMessages::watchReply()
{
    Server& l_server = mp_harness->Client();
    QSignalSpy l_responses(&l_server, &Server::AddUserResponse);

    QVERIFY(
        mp_harness->Deliver(m_connection, 5, WireWriter().WriteString("ghost").WriteU8(0).Bytes()));
    QCOMPARE(l_responses.count(), 1);
    QCOMPARE(l_responses.at(0).at(0).value<std::string>(), std::string("ghost"));
    QVERIFY(!l_responses.at(0).at(1).toBool());
    QVERIFY(!UserItem("ghost"));

    QVERIFY(mp_harness->Deliver(m_connection, 5,
                                WireWriter()
                                    .WriteString("bob")
                                    .WriteU8(1)
                                    .WriteI32(2)
                                    .WriteRaw(Stats(10, 20))
                                    .WriteString("DE")
                                    .Bytes()));
    QVERIFY(l_responses.at(1).at(1).toBool());
    QVERIFY(UserItem("bob").IsConnected("is_online"));
    QCOMPARE(ValueOf(UserItem("bob"), "country_code"), std::string("DE"));

    // Offline: no country follows, the stored one stays.
    QVERIFY(mp_harness->Deliver(
        m_connection, 5,
        WireWriter().WriteString("bob").WriteU8(1).WriteI32(0).WriteRaw(Stats(0, 0)).Bytes()));
    QVERIFY(!UserItem("bob").IsConnected("is_online"));
    QCOMPARE(ValueOf(UserItem("bob"), "country_code"), std::string("DE"));

    // Ending after the existence flag: status 0, offline.
    Flag(UserItem("bob"), "is_online");
    QVERIFY(
        mp_harness->Deliver(m_connection, 5, WireWriter().WriteString("bob").WriteU8(1).Bytes()));
    QVERIFY(!UserItem("bob").IsConnected("is_online"));
    QCOMPARE(l_responses.count(), 4);
}

void TestServerMessages::userStatus()
{
    QVERIFY(mp_harness->Deliver(m_connection, 7,
                                WireWriter().WriteString("bob").WriteI32(1).WriteU8(1).Bytes()));
    QVERIFY(UserItem("bob").IsConnected("is_online"));
    QVERIFY(UserItem("bob").IsConnected("is_privileged"));
    // Privileged 0 never clears the flag.
    QVERIFY(mp_harness->Deliver(m_connection, 7,
                                WireWriter().WriteString("bob").WriteI32(0).WriteU8(0).Bytes()));
    QVERIFY(!UserItem("bob").IsConnected("is_online"));
    QVERIFY(UserItem("bob").IsConnected("is_privileged"));
    // A body with the name only: status 0.
    Flag(UserItem("bob"), "is_online");
    QVERIFY(mp_harness->Deliver(m_connection, 7, StringField("bob")));
    QVERIFY(!UserItem("bob").IsConnected("is_online"));
}

void TestServerMessages::privateMessage()
{
    Server& l_server = mp_harness->Client();
    QSignalSpy l_chats(&l_server, &Server::PrivateChat);
    const auto l_message = [](quint32 i_id, const QByteArray& i_user, const QByteArray& i_text)
    {
        return WireWriter()
            .WriteU32(i_id)
            .WriteU32(1700000000)
            .WriteString(i_user)
            .WriteString(i_text)
            .WriteU8(1)
            .Bytes();
    };

    QVERIFY(mp_harness->Deliver(m_connection, 22, l_message(41, "stranger", "hello")));
    QCOMPARE(l_chats.count(), 1);
    QCOMPARE(l_chats.at(0).at(0).value<std::string>(), std::string("stranger"));
    QCOMPARE(l_chats.at(0).at(1).value<std::string>(), std::string("hello"));
    QCOMPARE(l_chats.at(0).at(2).value<time_t>(), time_t(1700000000));
    QVERIFY(l_chats.at(0).at(3).toBool());
    // Nobody is made for a message.
    QVERIFY(!UserItem("stranger"));

    // An ignored sender is not shown, but still acknowledged.
    Flag(d.GetType("user")->GetItem("pest"), "is_ignored");
    QVERIFY(mp_harness->Deliver(m_connection, 22, l_message(42, "pest", "spam")));
    QCOMPARE(l_chats.count(), 1);

    // "privileges" anywhere asks for the own status; with a capital letter it does not.
    QVERIFY(
        mp_harness->Deliver(m_connection, 22, l_message(43, "pest", "your privileges ran out")));
    QVERIFY(mp_harness->Deliver(m_connection, 22, l_message(44, "bob", "Privileges")));
    QCOMPARE(l_chats.count(), 2);

    // A body with only the id: empty texts, time 0, not spontaneous; acknowledged all the same.
    QVERIFY(mp_harness->Deliver(m_connection, 22, WireWriter().WriteU32(45).Bytes()));
    QCOMPARE(l_chats.count(), 3);
    QCOMPARE(l_chats.at(2).at(0).value<std::string>(), std::string());
    QCOMPARE(l_chats.at(2).at(2).value<time_t>(), time_t(0));
    QVERIFY(!l_chats.at(2).at(3).toBool());

    const Frames l_sent = mp_harness->SentFrames(m_connection);
    QList<QPair<quint32, QByteArray>> l_expected = {
        {23, WireWriter().WriteU32(41).Bytes()}, {23, WireWriter().WriteU32(42).Bytes()},
        {23, WireWriter().WriteU32(43).Bytes()}, {92, QByteArray()},
        {23, WireWriter().WriteU32(44).Bytes()}, {23, WireWriter().WriteU32(45).Bytes()}};
    QCOMPARE(l_sent.size(), l_expected.size());
    for (qsizetype l_index = 0; l_index < l_sent.size(); ++l_index)
    {
        QCOMPARE(l_sent[l_index].code, l_expected[l_index].first);
        QCOMPARE(l_sent[l_index].body, l_expected[l_index].second);
    }
}

void TestServerMessages::userStatsAndPrivileges()
{
    Server& l_server = mp_harness->Client();
    QSignalSpy l_stats(&l_server, &Server::ReceivedUserStats);
    QVERIFY(mp_harness->Deliver(
        m_connection, 36, WireWriter().WriteString("nobody").WriteRaw(Stats(512, 7)).Bytes()));
    QCOMPARE(l_stats.count(), 1);
    QCOMPARE(l_stats.at(0).at(0).value<std::string>(), std::string("nobody"));
    const UserStats l_record = l_stats.at(0).at(1).value<UserStats>();
    QCOMPARE(l_record.m_averageSpeed, 512u);
    QCOMPARE(l_record.m_reserved64, 0x1122334455667788ULL);
    QCOMPARE(l_record.m_sharedFilesCount, 7u);
    QCOMPARE(l_record.m_reserved32, 9u);
    QVERIFY(!UserItem("nobody"));

    // Short: a zero record.
    QVERIFY(mp_harness->Deliver(m_connection, 36, StringField("short")));
    QCOMPARE(l_stats.at(1).at(1).value<UserStats>(), UserStats());

    // Privileged users: named ones get the flag, duplicates merge, the others keep theirs.
    Flag(d.GetType("user")->GetItem("old"), "is_privileged");
    QVERIFY(mp_harness->Deliver(m_connection, 69,
                                WireWriter().WriteStringList({"bob", "amy", "bob"}).Bytes()));
    QVERIFY(UserItem("bob").IsConnected("is_privileged"));
    QVERIFY(UserItem("amy").IsConnected("is_privileged"));
    QVERIFY(UserItem("old").IsConnected("is_privileged"));

    QSignalSpy l_seconds(&l_server, &Server::ReceivedOwnPrivilegesStatus);
    QVERIFY(mp_harness->Deliver(m_connection, 92, WireWriter().WriteI32(-86400).Bytes()));
    QCOMPARE(TestSettings::Setting("privileges_time_left").AsString(), std::string("-86400"));
    QCOMPARE(l_seconds.at(0).at(0).toInt(), -86400);
    QVERIFY(mp_harness->Deliver(m_connection, 92, QByteArray()));
    QCOMPARE(TestSettings::Setting("privileges_time_left").AsString(), std::string("0"));
    QCOMPARE(l_seconds.at(1).at(0).toInt(), 0);
}

void TestServerMessages::roomChat()
{
    QSignalSpy l_chats(&mp_harness->Client(), &Server::RoomChat);
    QVERIFY(mp_harness->Deliver(
        m_connection, 13,
        WireWriter().WriteString("lobby").WriteString("amy").WriteString("hi").Bytes()));
    QCOMPARE(l_chats.count(), 1);
    QCOMPARE(l_chats.at(0).at(0).value<std::string>(), std::string("lobby"));
    QCOMPARE(l_chats.at(0).at(1).value<std::string>(), std::string("amy"));
    QCOMPARE(l_chats.at(0).at(2).value<std::string>(), std::string("hi"));
    QVERIFY(!UserItem("amy"));
    QVERIFY(!RoomItem("lobby"));

    Flag(d.GetType("user")->GetItem("pest"), "is_ignored");
    QVERIFY(mp_harness->Deliver(
        m_connection, 13,
        WireWriter().WriteString("lobby").WriteString("pest").WriteString("x").Bytes()));
    QCOMPARE(l_chats.count(), 1);
}

void TestServerMessages::roomJoined()
{
    Type* lp_rooms = d.GetType("room");
    ItemPtr l_lobby = lp_rooms->GetItem("lobby");
    l_lobby += d.GetType("user")->GetItem("leftover");

    WireWriter l_joined;
    l_joined.WriteString("lobby")
        .WriteStringList({"amy", "bob"})
        .WriteI32List({2, 1})
        .WriteI32(2)
        .WriteRaw(Stats(100, 10))
        .WriteRaw(Stats(200, 20))
        .WriteI32List({0, 0})
        .WriteStringList({"FR", "NL"});
    // Without the owner field: a public room.
    QVERIFY(mp_harness->Deliver(m_connection, 14, l_joined.Bytes()));
    QVERIFY(l_lobby.IsConnected("in_room"));
    QCOMPARE(RoomUsers("lobby"), Names({"amy", "bob"}));
    QCOMPARE(ValueOf(UserItem("amy"), "average_download_speed"), std::string("100"));
    QCOMPARE(ValueOf(UserItem("amy"), "shared_files_count"), std::string("10"));
    QCOMPARE(ValueOf(UserItem("amy"), "country_code"), std::string("FR"));
    QCOMPARE(ValueOf(UserItem("bob"), "average_download_speed"), std::string("200"));
    QCOMPARE(ValueOf(UserItem("bob"), "country_code"), std::string("NL"));
    QVERIFY(!l_lobby["room_owner"]);

    // A private room: its owner and operators; joining again replaces both and the users.
    const auto l_private = [](const QByteArray& i_owner, const QList<QByteArray>& i_operators)
    {
        return WireWriter()
            .WriteString("den")
            .WriteStringList({"amy"})
            .WriteI32List({2})
            .WriteI32(1)
            .WriteRaw(Stats(1, 1))
            .WriteI32List({0})
            .WriteStringList({"FR"})
            .WriteString(i_owner)
            .WriteStringList(i_operators)
            .Bytes();
    };
    QVERIFY(mp_harness->Deliver(m_connection, 14, l_private("amy", {"bob", "cat"})));
    QCOMPARE(RoleUsers("den", "room_owner"), Names({"amy"}));
    QCOMPARE(RoleUsers("den", "room_operators"), Names({"bob", "cat"}));
    QVERIFY(mp_harness->Deliver(m_connection, 14, l_private("bob", {"cat"})));
    QCOMPARE(RoleUsers("den", "room_owner"), Names({"bob"}));
    QCOMPARE(RoleUsers("den", "room_operators"), Names({"cat"}));

    // Joined again without the owner field: owner and operators stay.
    WireWriter l_again;
    l_again.WriteString("den")
        .WriteStringList({"dan"})
        .WriteI32List({1})
        .WriteI32(1)
        .WriteRaw(Stats(5, 5))
        .WriteI32List({0})
        .WriteStringList({"SE"});
    QVERIFY(mp_harness->Deliver(m_connection, 14, l_again.Bytes()));
    QCOMPARE(RoomUsers("den"), Names({"dan"}));
    QCOMPARE(RoleUsers("den", "room_owner"), Names({"bob"}));
    QCOMPARE(RoleUsers("den", "room_operators"), Names({"cat"}));
}

void TestServerMessages::roomJoinedListsOfDifferentLengths()
{
    // Fewer statistics and countries than users: the walk ends with the shortest list, and the
    // users beyond it get no values (never values read from beyond a list).
    WireWriter l_short;
    l_short.WriteString("lobby")
        .WriteStringList({"amy", "bob", "cat"})
        .WriteI32List({})
        .WriteI32(2)
        .WriteRaw(Stats(100, 10))
        .WriteRaw(Stats(200, 20))
        .WriteI32List({})
        .WriteStringList({"FR"});
    QVERIFY(mp_harness->Deliver(m_connection, 14, l_short.Bytes()));
    QCOMPARE(RoomUsers("lobby"), Names({"amy", "bob", "cat"}));
    QCOMPARE(ValueOf(UserItem("amy"), "average_download_speed"), std::string("100"));
    QVERIFY(!UserItem("bob")["average_download_speed"]);
    QVERIFY(!UserItem("cat")["country_code"]);

    // A statistics count above the limit reads no record; the body goes on after it.
    WireWriter l_huge;
    l_huge.WriteString("hall")
        .WriteStringList({"dan"})
        .WriteI32List({})
        .WriteI32(131073)
        .WriteI32List({})
        .WriteStringList({"SE"});
    QVERIFY(mp_harness->Deliver(m_connection, 14, l_huge.Bytes()));
    QCOMPARE(RoomUsers("hall"), Names({"dan"}));
    QVERIFY(!UserItem("dan")["country_code"]);

    // A negative count reads records until one is incomplete.
    WireWriter l_negative;
    l_negative.WriteString("yard").WriteStringList({"eve"}).WriteI32List({}).WriteI32(-1).WriteRaw(
        Stats(300, 30));
    QVERIFY(mp_harness->Deliver(m_connection, 14, l_negative.Bytes()));
    QCOMPARE(RoomUsers("yard"), Names({"eve"}));
    QVERIFY(RoomItem("yard").IsConnected("in_room"));
    QVERIFY(!UserItem("eve")["country_code"]);

    // A body with the room name only: the room is joined, empty.
    QVERIFY(mp_harness->Deliver(m_connection, 14, StringField("lobby")));
    QVERIFY(RoomUsers("lobby").isEmpty());
    QVERIFY(RoomItem("lobby").IsConnected("in_room"));
}

void TestServerMessages::roomLeftAndUsersComingAndGoing()
{
    ItemPtr l_lobby = d.GetType("room")->GetItem("lobby");
    l_lobby += d.GetType("user")->GetItem("amy");
    // Not in the room: its users stay.
    QVERIFY(mp_harness->Deliver(m_connection, 15, StringField("lobby")));
    QCOMPARE(RoomUsers("lobby"), Names({"amy"}));

    QVERIFY(mp_harness->Deliver(m_connection, 16,
                                WireWriter()
                                    .WriteString("lobby")
                                    .WriteString("bob")
                                    .WriteI32(2)
                                    .WriteRaw(Stats(70, 7))
                                    .WriteI32(0)
                                    .WriteString("IT")
                                    .Bytes()));
    QCOMPARE(RoomUsers("lobby"), Names({"amy", "bob"}));
    QCOMPARE(ValueOf(UserItem("bob"), "average_download_speed"), std::string("70"));
    QCOMPARE(ValueOf(UserItem("bob"), "shared_files_count"), std::string("7"));
    QCOMPARE(ValueOf(UserItem("bob"), "country_code"), std::string("IT"));

    QVERIFY(mp_harness->Deliver(m_connection, 17, TwoStrings("lobby", "amy")));
    QCOMPARE(RoomUsers("lobby"), Names({"bob"}));
    // Leaving a room nobody knows makes nothing.
    QVERIFY(mp_harness->Deliver(m_connection, 17, TwoStrings("nowhere", "nobody")));
    QVERIFY(!RoomItem("nowhere"));
    QVERIFY(!UserItem("nobody"));

    Flag(l_lobby, "in_room");
    QVERIFY(mp_harness->Deliver(m_connection, 15, StringField("lobby")));
    QVERIFY(!l_lobby.IsConnected("in_room"));
    QVERIFY(RoomUsers("lobby").isEmpty());
}

void TestServerMessages::roomList()
{
    Type* lp_rooms = d.GetType("room");
    const auto l_list = [](const QList<QByteArray>& i_public, const QList<qint32>& i_counts,
                           const QList<QByteArray>& i_owned, const QList<QByteArray>& i_member,
                           const QList<QByteArray>& i_operated)
    {
        return WireWriter()
            .WriteStringList(i_public)
            .WriteI32List(i_counts)
            .WriteStringList(i_owned)
            .WriteI32List(QList<qint32>(i_owned.size(), 3))
            .WriteStringList(i_member)
            .WriteI32List(QList<qint32>(i_member.size(), 4))
            .WriteStringList(i_operated)
            .Bytes();
    };

    // The login accepted the next list: every public room is made.
    QCOMPARE(TestSettings::Setting("accept_room_list").AsString(), std::string("yes"));
    QVERIFY(mp_harness->Deliver(m_connection, 64,
                                l_list({"lobby", "music"}, {12, -1}, {"mine"}, {"theirs", "guest"},
                                       {"theirs", "elsewhere"})));
    QCOMPARE(TestSettings::Setting("accept_room_list").AsString(), std::string("no"));
    QCOMPARE(ValueOf(RoomItem("lobby"), "user_count"), std::string("12"));
    QCOMPARE(ValueOf(RoomItem("music"), "user_count"), std::string("-1"));
    ItemPtr l_mine = RoomItem("mine");
    QCOMPARE(ValueOf(l_mine, "user_count"), std::string("3"));
    QVERIFY(l_mine.IsConnected("is_owner") && l_mine.IsConnected("is_private") &&
            l_mine.IsConnected("is_member"));
    ItemPtr l_theirs = RoomItem("theirs");
    QCOMPARE(ValueOf(l_theirs, "user_count"), std::string("4"));
    QVERIFY(l_theirs.IsConnected("is_operator") && l_theirs.IsConnected("is_private") &&
            l_theirs.IsConnected("is_member") && !l_theirs.IsConnected("is_owner"));
    QVERIFY(!RoomItem("guest").IsConnected("is_operator"));
    QVERIFY(!RoomItem("elsewhere"));
    // Rooms of one size share their count item.
    QCOMPARE(static_cast<Item*>(RoomItem("guest")["user_count"]),
             static_cast<Item*>(l_theirs["user_count"]));

    // Not accepted: only known public rooms are updated; private lists apply all the same, and
    // roles a list no longer names are cleared, is_private and is_operator excepted.
    QVERIFY(
        mp_harness->Deliver(m_connection, 64, l_list({"lobby", "new"}, {13, 5}, {}, {"mine"}, {})));
    QCOMPARE(ValueOf(RoomItem("lobby"), "user_count"), std::string("13"));
    QVERIFY(!RoomItem("new"));
    QVERIFY(!l_mine.IsConnected("is_owner"));
    QVERIFY(l_mine.IsConnected("is_member") && l_mine.IsConnected("is_private"));
    QVERIFY(!l_theirs.IsConnected("is_member"));
    QVERIFY(l_theirs.IsConnected("is_private") && l_theirs.IsConnected("is_operator"));
    QCOMPARE(TestSettings::Setting("accept_room_list").AsString(), std::string("no"));

    // An empty body: nothing but the setting changes.
    TestSettings::SetSetting("accept_room_list", "yes");
    QVERIFY(mp_harness->Deliver(m_connection, 64, QByteArray()));
    QCOMPARE(TestSettings::Setting("accept_room_list").AsString(), std::string("no"));
    QVERIFY(!l_mine.IsConnected("is_member"));
    QCOMPARE(lp_rooms->ItemCount(), 5u);
}

void TestServerMessages::roomListCountsShorterThanNames()
{
    // Each name list is walked to the end of its count list when that is shorter.
    QVERIFY(mp_harness->Deliver(m_connection, 64,
                                WireWriter()
                                    .WriteStringList({"a", "b", "c"})
                                    .WriteI32List({1})
                                    .WriteStringList({"o1", "o2"})
                                    .WriteI32List({})
                                    .WriteStringList({"m1"})
                                    .WriteI32List({8, 9})
                                    .WriteStringList({})
                                    .Bytes()));
    QCOMPARE(ValueOf(RoomItem("a"), "user_count"), std::string("1"));
    QVERIFY(!RoomItem("b") && !RoomItem("c"));
    QVERIFY(!RoomItem("o1") && !RoomItem("o2"));
    QCOMPARE(ValueOf(RoomItem("m1"), "user_count"), std::string("8"));
    QVERIFY(RoomItem("m1").IsConnected("is_member"));
}

void TestServerMessages::privateRooms()
{
    Server& l_server = mp_harness->Client();
    // Added to a private room: flagged and entered.
    QVERIFY(mp_harness->Deliver(m_connection, 139, StringField("den")));
    ItemPtr l_den = RoomItem("den");
    QVERIFY(l_den.IsConnected("is_private") && l_den.IsConnected("is_member"));
    const Frames l_sent = mp_harness->SentFrames(m_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, 14u);
    QCOMPARE(l_sent[0].body, WireWriter().WriteString("den").WriteU32(0).Bytes());

    QVERIFY(mp_harness->Deliver(
        m_connection, 133,
        WireWriter().WriteString("den").WriteStringList({"bob", "amy"}).Bytes()));
    // A set: in byte order.
    QCOMPARE(RoleUsers("den", "room_members"), Names({"amy", "bob"}));
    QVERIFY(mp_harness->Deliver(m_connection, 133,
                                WireWriter().WriteString("den").WriteStringList({"cat"}).Bytes()));
    QCOMPARE(RoleUsers("den", "room_members"), Names({"cat"}));
    QVERIFY(mp_harness->Deliver(m_connection, 134, TwoStrings("den", "dan")));
    QCOMPARE(RoleUsers("den", "room_members"), Names({"cat", "dan"}));
    QVERIFY(mp_harness->Deliver(m_connection, 135, TwoStrings("den", "cat")));
    QCOMPARE(RoleUsers("den", "room_members"), Names({"dan"}));

    QVERIFY(mp_harness->Deliver(m_connection, 148,
                                WireWriter().WriteString("den").WriteStringList({"amy"}).Bytes()));
    QCOMPARE(RoleUsers("den", "room_operators"), Names({"amy"}));
    QVERIFY(mp_harness->Deliver(m_connection, 143, TwoStrings("den", "eve")));
    QCOMPARE(RoleUsers("den", "room_operators"), Names({"amy", "eve"}));
    QVERIFY(mp_harness->Deliver(m_connection, 144, TwoStrings("den", "amy")));
    QCOMPARE(RoleUsers("den", "room_operators"), Names({"eve"}));
    // Each room has its own holders.
    QVERIFY(mp_harness->Deliver(m_connection, 143, TwoStrings("hut", "amy")));
    QCOMPARE(RoleUsers("hut", "room_operators"), Names({"amy"}));
    QCOMPARE(RoleUsers("den", "room_operators"), Names({"eve"}));

    QVERIFY(mp_harness->Deliver(m_connection, 145, StringField("den")));
    QVERIFY(l_den.IsConnected("is_operator"));
    Flag(l_den, "is_owner");
    QVERIFY(mp_harness->Deliver(m_connection, 140, StringField("den")));
    QVERIFY(!l_den.IsConnected("is_member") && !l_den.IsConnected("is_operator") &&
            !l_den.IsConnected("is_owner"));
    QVERIFY(l_den.IsConnected("is_private"));

    QSignalSpy l_enabled(&l_server, &Server::PrivateRoomAddEnabled);
    QVERIFY(mp_harness->Deliver(m_connection, 141, WireWriter().WriteU8(1).Bytes()));
    QCOMPARE(TestSettings::Setting("accept_private_room_add").AsString(), std::string("yes"));
    QVERIFY(mp_harness->Deliver(m_connection, 141, WireWriter().WriteU8(0).Bytes()));
    QCOMPARE(TestSettings::Setting("accept_private_room_add").AsString(), std::string("no"));
    QVERIFY(mp_harness->Deliver(m_connection, 141, QByteArray()));
    QCOMPARE(l_enabled.count(), 3);
    QVERIFY(l_enabled.at(0).at(0).toBool());
    QVERIFY(!l_enabled.at(1).at(0).toBool());
    QVERIFY(!l_enabled.at(2).at(0).toBool());
}

void TestServerMessages::peerConnectionRequest()
{
    StoreRecorder l_recorder;
    l_recorder.WatchType(d.GetType("peer_connection_request"));
    l_recorder.WatchType(d.GetType("user"));
    QVERIFY(mp_harness->Deliver(m_connection, 18,
                                WireWriter()
                                    .WriteString("bob")
                                    .WriteString("P")
                                    .WriteU32(0x7f000001)
                                    .WriteI32(2234)
                                    .WriteU32(77)
                                    .WriteU8(1)
                                    .WriteI32(1)
                                    .WriteI32(2235)
                                    .Bytes()));
    ItemPtr l_bob = UserItem("bob");
    QVERIFY(l_bob.IsConnected("is_privileged"));
    // The request and its three connections come first, the obfuscated port last. The peer
    // layer answers the request at once, so only the recorded events show it.
    const QStringList l_first = l_recorder.Take();
    QVERIFY(l_first.size() >= 10);
    QCOMPARE(
        l_first.first(10),
        StoreRecorder::Lines(
            {"added peer_connection_request",
             "connected peer_connection_request>peer_connection_request_id:77",
             "connected peer_connection_request>peer_connection_type:P", "added user:bob",
             "connected peer_connection_request>user:bob",
             "connected user:bob>peer_connection_request",
             "connected user:bob>user_address:2130706433", "connected user:bob>user_port:2234",
             "connected user:bob>user_obfuscated_port:2235", "connected user:bob>is_privileged"}));

    // Obfuscation type 0: the body ends there and the obfuscated port is 0; privileged 0
    // keeps the flag.
    QVERIFY(mp_harness->Deliver(m_connection, 18,
                                WireWriter()
                                    .WriteString("bob")
                                    .WriteString("F")
                                    .WriteU32(0x7f000001)
                                    .WriteI32(2234)
                                    .WriteU32(78)
                                    .WriteU8(0)
                                    .WriteI32(0)
                                    .Bytes()));
    const QStringList l_second = l_recorder.Take();
    QVERIFY(l_second.contains(
        QStringLiteral("connected peer_connection_request>peer_connection_request_id:78")));
    QVERIFY(l_second.contains(
        QStringLiteral("connected peer_connection_request>peer_connection_type:F")));
    QCOMPARE(ValueOf(l_bob, "user_obfuscated_port"), std::string("0"));
    QVERIFY(l_bob.IsConnected("is_privileged"));

    // A body with the name only: token, address and ports read as 0.
    QVERIFY(mp_harness->Deliver(m_connection, 18, StringField("cat")));
    ItemPtr l_cat = UserItem("cat");
    QCOMPARE(ValueOf(l_cat, "user_address"), std::string("0"));
    QCOMPARE(ValueOf(l_cat, "user_port"), std::string("0"));
    QVERIFY(!l_cat.IsConnected("is_privileged"));
    QVERIFY(l_recorder.Take().contains(
        QStringLiteral("connected peer_connection_request>peer_connection_request_id:0")));
}

void TestServerMessages::distributedNetworkSignals()
{
    Server& l_server = mp_harness->Client();
    QSignalSpy l_minSpeed(&l_server, &Server::DNetParentMinSpeed);
    QSignalSpy l_ratio(&l_server, &Server::DNetParentSpeedConnectionRatio);
    QSignalSpy l_wait(&l_server, &Server::WishListWait);
    QSignalSpy l_reset(&l_server, &Server::DNetReset);
    QSignalSpy l_failure(&l_server, &Server::IndirectPeerConnectionFailure);
    QByteArray l_embedded;
    QObject l_receiver;
    connect(&l_server, &Server::DNetMessage, &l_receiver,
            [&](MemStream& i_message) {
                l_embedded =
                    QByteArray(i_message.GetReadBuffer(), i_message.GetPendingReadLength());
            });

    QVERIFY(mp_harness->Deliver(m_connection, 83, WireWriter().WriteI32(-3).Bytes()));
    QVERIFY(mp_harness->Deliver(m_connection, 84, WireWriter().WriteI32(50).Bytes()));
    QVERIFY(mp_harness->Deliver(m_connection, 104, WireWriter().WriteU32(720).Bytes()));
    QVERIFY(mp_harness->Deliver(m_connection, 130, QByteArray()));
    QVERIFY(mp_harness->Deliver(m_connection, 1001, WireWriter().WriteU32(0xFFFFFFF0u).Bytes()));
    const QByteArray l_search = WireWriter()
                                    .WriteU8(3)
                                    .WriteU32(49)
                                    .WriteString("amy")
                                    .WriteU32(5)
                                    .WriteString("jazz")
                                    .Bytes();
    QVERIFY(mp_harness->Deliver(m_connection, 93, l_search));
    QCOMPARE(l_minSpeed.at(0).at(0).toInt(), -3);
    QCOMPARE(l_ratio.at(0).at(0).toInt(), 50);
    QCOMPARE(l_wait.at(0).at(0).toUInt(), 720u);
    QCOMPARE(l_reset.count(), 1);
    QCOMPARE(l_failure.at(0).at(0).toUInt(), 0xFFFFFFF0u);
    QCOMPARE(l_embedded, l_search);

    // Missing single fields read as 0.
    for (quint32 l_code : {83u, 84u, 104u, 1001u})
        QVERIFY(mp_harness->Deliver(m_connection, l_code, QByteArray()));
    QCOMPARE(l_minSpeed.at(1).at(0).toInt(), 0);
    QCOMPARE(l_ratio.at(1).at(0).toInt(), 0);
    QCOMPARE(l_wait.at(1).at(0).toUInt(), 0u);
    QCOMPARE(l_failure.at(1).at(0).toUInt(), 0u);
}

void TestServerMessages::possibleParents()
{
    Server& l_server = mp_harness->Client();
    QList<Server::ParentList> l_lists;
    QObject l_receiver;
    connect(&l_server, &Server::DNetPossibleParents, &l_receiver,
            [&](Server::ParentList& i_list) { l_lists.append(i_list); });
    const auto l_entry = [](WireWriter& i_writer, const QByteArray& i_user, quint32 i_address,
                            qint32 i_port) -> WireWriter&
    { return i_writer.WriteString(i_user).WriteU32(i_address).WriteI32(i_port); };

    WireWriter l_two;
    l_two.WriteI32(2);
    l_entry(l_two, "amy", 1, 2234);
    l_entry(l_two, "bob", 2, 2235);
    QVERIFY(mp_harness->Deliver(m_connection, 102, l_two.Bytes()));
    QCOMPARE(l_lists.size(), 1);
    const Server::ParentList l_expected = {{"amy", {1u, 2234}}, {"bob", {2u, 2235}}};
    QVERIFY(l_lists[0] == l_expected);

    // None, a count above the limit, a missing count: an empty list, still emitted.
    QVERIFY(mp_harness->Deliver(m_connection, 102, WireWriter().WriteI32(0).Bytes()));
    QVERIFY(mp_harness->Deliver(m_connection, 102, WireWriter().WriteI32(131073).Bytes()));
    QVERIFY(mp_harness->Deliver(m_connection, 102, QByteArray()));
    QCOMPARE(l_lists.size(), 4);
    QVERIFY(l_lists[1].empty() && l_lists[2].empty() && l_lists[3].empty());

    // Cut in the middle of the second entry, or a negative count: what was read whole stays.
    WireWriter l_cut;
    l_cut.WriteI32(5);
    l_entry(l_cut, "amy", 1, 2234);
    l_cut.WriteString("bob").WriteU32(2);
    QVERIFY(mp_harness->Deliver(m_connection, 102, l_cut.Bytes()));
    WireWriter l_negative;
    l_negative.WriteI32(-1);
    l_entry(l_negative, "amy", 1, 2234);
    l_entry(l_negative, "bob", 2, 2235);
    QVERIFY(mp_harness->Deliver(m_connection, 102, l_negative.Bytes()));
    QCOMPARE(l_lists.size(), 6);
    QVERIFY(l_lists[4] == Server::ParentList({{"amy", {1u, 2234}}}));
    QVERIFY(l_lists[5] == l_expected);

    // A negative count reads no more entries than the largest count could ask for.
    WireWriter l_endless;
    l_endless.WriteI32(-1);
    for (int l_index = 0; l_index < 131073; ++l_index)
        l_entry(l_endless, QByteArray(), quint32(l_index), 1);
    QVERIFY(mp_harness->Deliver(m_connection, 102, l_endless.Bytes()));
    QCOMPARE(l_lists.size(), 7);
    QCOMPARE(l_lists[6].size(), 131072u);
    QCOMPARE(l_lists[6].back().second.first, 131071u);
}

void TestServerMessages::searchCorrelations()
{
    QSignalSpy l_signals(&mp_harness->Client(), &Server::SearchCorrelations);
    const auto l_correlations = [](const QByteArray& i_text, const QList<QByteArray>& i_related)
    {
        WireWriter l_writer;
        l_writer.WriteString(i_text).WriteI32(qint32(i_related.size()));
        qint32 l_rank = 0;
        for (const QByteArray& l_related : i_related)
            l_writer.WriteString(l_related).WriteI32(--l_rank);
        return l_writer.Bytes();
    };
    const auto l_related = [](const char* ip_text)
    {
        QStringList l_lines;
        ItemPtr l_text = d.GetType("search_request_text")->HasItem(ip_text);
        for (Item* lp_correlation : l_text.GetItems("search_correlation"))
            l_lines.append(QString::fromStdString(ValueOf(lp_correlation, "correlation_text") +
                                                  "=" +
                                                  ValueOf(lp_correlation, "correlation_rank")));
        return l_lines;
    };

    // A text no search used is made.
    QVERIFY(mp_harness->Deliver(m_connection, 153, l_correlations("blue", {"blues", "navy"})));
    QCOMPARE(l_related("blue"), Names({"blues=-1", "navy=-2"}));
    QCOMPARE(l_signals.at(0).at(0).value<std::string>(), std::string("blue"));
    QVERIFY(mp_harness->Deliver(m_connection, 153, l_correlations("blue", {"sky"})));
    QCOMPARE(l_related("blue"), Names({"sky=-1"}));
    QVERIFY(mp_harness->Deliver(m_connection, 153, l_correlations("blue", {})));
    QVERIFY(l_related("blue").isEmpty());
    QCOMPARE(d.GetType("search_correlation")->ItemCount(), 0u);
    QCOMPARE(l_signals.count(), 3);
}

void TestServerMessages::unknownCodesAndEmptyBodies()
{
    Server& l_server = mp_harness->Client();
    const std::size_t l_users = d.GetType("user")->ItemCount();
    for (quint32 l_code : {0u, 2u, 4u, 9999u, 0xFFFFFFFFu})
        QVERIFY(mp_harness->Deliver(m_connection, l_code, WireWriter().WriteString("x").Bytes()));
    QCOMPARE(d.GetType("user")->ItemCount(), l_users);
    QVERIFY(mp_harness->SentFrames(m_connection).isEmpty());

    // Every handled code with an empty body: nothing is read past the end, the connection stays.
    for (quint32 l_code : {3u,   5u,   7u,   13u,  14u,  15u,  16u,  17u,  18u,  22u,  36u,
                           64u,  69u,  83u,  84u,  92u,  93u,  102u, 104u, 128u, 130u, 133u,
                           134u, 135u, 139u, 140u, 141u, 143u, 144u, 145u, 148u, 153u, 1001u})
        QVERIFY2(mp_harness->Deliver(m_connection, l_code, QByteArray()),
                 qPrintable(QString::number(l_code)));
    QVERIFY(l_server.IsConnected());
}

void TestServerMessages::withTheAutomaticServer()
{
    // The test server answering as a central server would: login, room list and settings, a
    // room joined and its chat, a watch and an address.
    Server& l_server = mp_harness->Client();
    l_server.Disconnect();
    mp_harness->Central().SetAutomaticReplies(true);
    mp_harness->Central().SetParentMinSpeed(7);
    QSignalSpy l_connected(&l_server, &Server::Connected);
    QSignalSpy l_minSpeed(&l_server, &Server::DNetParentMinSpeed);
    QSignalSpy l_chat(&l_server, &Server::RoomChat);
    QSignalSpy l_added(&l_server, &Server::AddUserResponse);
    TestSettings::SetSetting("username", "me");
    TestSettings::SetSetting("password", "secret");
    TestSettings::SetSetting("listening_port", 2235);
    TestSettings::SetSetting("obfuscated_listening_port", 2236);
    l_server.Connect();
    QVERIFY(l_connected.wait());
    QTRY_COMPARE(l_minSpeed.count(), 1);
    QCOMPARE(l_minSpeed.at(0).at(0).toInt(), 7);

    l_server.EnterRoom("lobby", false);
    QTRY_VERIFY(RoomItem("lobby") && RoomItem("lobby").IsConnected("in_room"));
    QCOMPARE(RoomUsers("lobby"), Names({"me"}));
    l_server.SendRoomChat("lobby", "anyone?");
    QVERIFY(l_chat.wait());
    QCOMPARE(l_chat.at(0).at(1).value<std::string>(), std::string("me"));
    QCOMPARE(l_chat.at(0).at(2).value<std::string>(), std::string("anyone?"));

    l_server.TrackUser("me");
    QVERIFY(l_added.wait());
    QVERIFY(l_added.at(0).at(1).toBool());
    QTRY_VERIFY(UserItem("me").IsConnected("is_online"));
    l_server.GetUserAddress("me");
    QTRY_VERIFY(UserItem("me")["user_obfuscated_port"]);
    QCOMPARE(ValueOf(UserItem("me"), "user_address"), std::string("2130706433"));
    QCOMPARE(ValueOf(UserItem("me"), "user_port"), std::string("2235"));
    QCOMPARE(ValueOf(UserItem("me"), "user_obfuscated_port"), std::string("2236"));

    l_server.LeaveRoom("lobby");
    QTRY_VERIFY(!RoomItem("lobby").IsConnected("in_room"));
    mp_harness->Central().SetAutomaticReplies(false);
}

QTEST_GUILESS_MAIN(TestServerMessages)
#include "tst_server_messages.moc"
