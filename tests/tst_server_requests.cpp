// Every request that the client sends to the central server, byte by byte as the test server
// receives it, with the store changes and tokens that go with it.
#include "Data.h"
#include "Server.h"
#include "ServerHarness.h"
#include "TestSettings.h"
#include "WireWriter.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>

using Request = std::function<void(Server&)>;
Q_DECLARE_METATYPE(Request)

namespace
{
using Frames = QList<TestServer::ReceivedFrame>;

QByteArray StringField(const QByteArray& i_text)
{
    return WireWriter().WriteString(i_text).Bytes();
}

QByteArray TwoStrings(const QByteArray& i_first, const QByteArray& i_second)
{
    return WireWriter().WriteString(i_first).WriteString(i_second).Bytes();
}

ItemPtr UserItem(const char* ip_name)
{
    return d.GetType("user")->HasItem(ip_name);
}
} // namespace

class TestServerRequests : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void searchTokensAndRecords();
    void indirectConnectionTokens();
    void everyPlainRequest_data();
    void everyPlainRequest();
    void trackAndUntrack();
    void watchAskedAgainAfterNoSuchUser();
    void addressRequestPendingUntilAnswered();
    void leaveRoomOnlyWhenIn();
    void roomListRequestAcceptsTheNextList();
    void storeChangesWhileDisconnected();

private:
    // Logs in and forgets what the login itself sent.
    int LogIn();

    std::unique_ptr<ServerHarness> mp_harness;
};

void TestServerRequests::initTestCase()
{
    mp_harness = std::make_unique<ServerHarness>();
}

void TestServerRequests::init()
{
    mp_harness->Reset();
}

void TestServerRequests::cleanupTestCase()
{
    mp_harness->Reset();
    mp_harness.reset();
}

int TestServerRequests::LogIn()
{
    const int l_connection = mp_harness->LogIn();
    if (l_connection)
        mp_harness->SentFrames(l_connection);
    return l_connection;
}

// Must stay the first case to search: tokens count from 1 for the whole run.
void TestServerRequests::searchTokensAndRecords()
{
    Server& l_server = mp_harness->Client();
    QSignalSpy l_requested(&l_server, &Server::SearchRequested);
    // Not logged in: nothing is sent, but the token is used and the search recorded.
    QCOMPARE(l_server.FileSearch("one", false), 1u);
    const int l_connection = LogIn();
    QVERIFY(l_connection);
    QCOMPARE(l_server.FileSearch("two", true), 2u);
    QCOMPARE(l_server.FileSearch("one", false), 3u);

    const Frames l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 2);
    QCOMPARE(l_sent[0].code, 103u);
    QCOMPARE(l_sent[0].body, WireWriter().WriteU32(2).WriteString("two").Bytes());
    QCOMPARE(l_sent[1].code, 26u);
    QCOMPARE(l_sent[1].body, WireWriter().WriteU32(3).WriteString("one").Bytes());

    QCOMPARE(l_requested.count(), 3);
    QCOMPARE(l_requested.at(1).at(0).toUInt(), 2u);
    QCOMPARE(l_requested.at(1).at(1).value<std::string>(), std::string("two"));
    QVERIFY(l_requested.at(1).at(2).toBool());
    QVERIFY(!l_requested.at(2).at(2).toBool());

    Type* lp_requests = d.GetType("search_request");
    ItemPtr l_first = lp_requests->HasItem("1");
    ItemPtr l_second = lp_requests->HasItem("2");
    ItemPtr l_third = lp_requests->HasItem("3");
    QVERIFY(l_first && l_second && l_third);
    QCOMPARE(l_first["search_request_text"].AsString(), std::string("one"));
    QCOMPARE(static_cast<Item*>(l_third["search_request_text"]),
             static_cast<Item*>(l_first["search_request_text"]));
    QCOMPARE(l_second["search_request_text"].AsString(), std::string("two"));
    QVERIFY(l_second.IsConnected("wishlist_search"));
    QVERIFY(!l_first.IsConnected("wishlist_search"));
    QCOMPARE(d.GetType("search_request_text")->ItemCount(), 2u);
}

void TestServerRequests::indirectConnectionTokens()
{
    Server& l_server = mp_harness->Client();
    // Counted apart from the search tokens, from 1, also while not logged in.
    QCOMPARE(l_server.SendIndirectConnectionRequest("bob", "P"), 1u);
    const int l_connection = LogIn();
    QVERIFY(l_connection);
    QCOMPARE(l_server.SendIndirectConnectionRequest("bob", "F"), 2u);
    QCOMPARE(l_server.SendIndirectConnectionRequest("carol", "D"), 3u);
    const Frames l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 2);
    QCOMPARE(l_sent[0].code, 18u);
    QCOMPARE(l_sent[0].body, WireWriter().WriteU32(2).WriteString("bob").WriteString("F").Bytes());
    QCOMPARE(l_sent[1].body,
             WireWriter().WriteU32(3).WriteString("carol").WriteString("D").Bytes());
    QCOMPARE(mp_harness->LogLines(QStringLiteral("server")),
             QStringList({QStringLiteral("Sent indirect connection request to bob"),
                          QStringLiteral("Sent indirect connection request to bob"),
                          QStringLiteral("Sent indirect connection request to carol")}));
    QVERIFY(UserItem("carol"));
}

void TestServerRequests::everyPlainRequest_data()
{
    QTest::addColumn<Request>("request");
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QByteArray>("fields");

    const auto l_row =
        [](const char* ip_name, Request i_request, quint32 i_code, const QByteArray& i_fields)
    { QTest::newRow(ip_name) << i_request << i_code << i_fields; };

    l_row(
        "SetWaitPort", [](Server& i_server) { i_server.SetWaitPort(2235, 2236); }, 2,
        WireWriter().WriteU32(2235).WriteU32(1).WriteU32(2236).Bytes());
    l_row(
        "AddUser", [](Server& i_server) { i_server.AddUser("bob"); }, 5, StringField("bob"));
    l_row(
        "GetUserStatus", [](Server& i_server) { i_server.GetUserStatus("bob"); }, 7,
        StringField("bob"));
    l_row(
        "SendRoomChat", [](Server& i_server) { i_server.SendRoomChat("lobby", "hi all"); }, 13,
        TwoStrings("lobby", "hi all"));
    l_row(
        "EnterRoom public", [](Server& i_server) { i_server.EnterRoom("lobby", false); }, 14,
        WireWriter().WriteString("lobby").WriteU32(0).Bytes());
    l_row(
        "EnterRoom private", [](Server& i_server) { i_server.EnterRoom("den", true); }, 14,
        WireWriter().WriteString("den").WriteU32(1).Bytes());
    l_row(
        "SendPrivateChat",
        [](Server& i_server) { i_server.SendPrivateChat("bob", std::string("a\0b", 3)); }, 22,
        TwoStrings("bob", QByteArray("a\0b", 3)));
    l_row(
        "SendFilesFolders", [](Server& i_server) { i_server.SendFilesFolders(3, 40); }, 35,
        WireWriter().WriteU32(3).WriteU32(40).Bytes());
    l_row(
        "GetUserStats", [](Server& i_server) { i_server.GetUserStats("me"); }, 36,
        StringField("me"));
    l_row(
        "GetRoomList", [](Server& i_server) { i_server.GetRoomList(); }, 64, QByteArray());
    l_row(
        "SendDNetHasParent true", [](Server& i_server) { i_server.SendDNetHasParent(true); }, 71,
        WireWriter().WriteU8(1).Bytes());
    l_row(
        "SendDNetHasParent false", [](Server& i_server) { i_server.SendDNetHasParent(false); }, 71,
        WireWriter().WriteU8(0).Bytes());
    l_row(
        "GetOwnPrivilegesStatus", [](Server& i_server) { i_server.GetOwnPrivilegesStatus(); }, 92,
        QByteArray());
    l_row(
        "SendDNetCanParent", [](Server& i_server) { i_server.SendDNetCanParent(true); }, 100,
        WireWriter().WriteU8(1).Bytes());
    l_row(
        "SendUploadSpeed", [](Server& i_server) { i_server.SendUploadSpeed(-5); }, 121,
        WireWriter().WriteI32(-5).Bytes());
    l_row(
        "SendDNetLevel", [](Server& i_server) { i_server.SendDNetLevel(3); }, 126,
        WireWriter().WriteI32(3).Bytes());
    l_row(
        "SendDNetGroupLeader", [](Server& i_server) { i_server.SendDNetGroupLeader("lead"); }, 127,
        StringField("lead"));
    l_row(
        "SendChildDepth", [](Server& i_server) { i_server.SendChildDepth(false); }, 129,
        WireWriter().WriteU8(0).Bytes());
    l_row(
        "AddPrivateRoomMember",
        [](Server& i_server) { i_server.AddPrivateRoomMember("den", "bob"); }, 134,
        TwoStrings("den", "bob"));
    l_row(
        "RemovePrivateRoomMember",
        [](Server& i_server) { i_server.RemovePrivateRoomMember("den", "bob"); }, 135,
        TwoStrings("den", "bob"));
    l_row(
        "GiveUpPrivateRoomMembership",
        [](Server& i_server) { i_server.GiveUpPrivateRoomMembership("den"); }, 136,
        StringField("den"));
    l_row(
        "GiveUpPrivateRoom", [](Server& i_server) { i_server.GiveUpPrivateRoom("den"); }, 137,
        StringField("den"));
    l_row(
        "EnablePrivateRoomAdd", [](Server& i_server) { i_server.EnablePrivateRoomAdd(true); }, 141,
        WireWriter().WriteU8(1).Bytes());
    l_row(
        "AddPrivateRoomOperator",
        [](Server& i_server) { i_server.AddPrivateRoomOperator("den", "bob"); }, 143,
        TwoStrings("den", "bob"));
    l_row(
        "RemovePrivateRoomOperator",
        [](Server& i_server) { i_server.RemovePrivateRoomOperator("den", "bob"); }, 144,
        TwoStrings("den", "bob"));
    l_row(
        "GetSearchCorrelations",
        [](Server& i_server) { i_server.GetSearchCorrelations("blue train"); }, 153,
        StringField("blue train"));
    l_row(
        "SendCantConnectToPeer",
        [](Server& i_server) { i_server.SendCantConnectToPeer(0xFFFFFFFEu, "bob"); }, 1001,
        WireWriter().WriteU32(0xFFFFFFFEu).WriteString("bob").Bytes());
}

void TestServerRequests::everyPlainRequest()
{
    QFETCH(Request, request);
    QFETCH(quint32, code);
    QFETCH(QByteArray, fields);
    const int l_connection = LogIn();
    QVERIFY(l_connection);
    request(mp_harness->Client());
    const Frames l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, code);
    QCOMPARE(l_sent[0].body.toHex(), fields.toHex());
}

void TestServerRequests::trackAndUntrack()
{
    Server& l_server = mp_harness->Client();
    const int l_connection = LogIn();
    QVERIFY(l_connection);
    l_server.TrackUser("bob");
    l_server.TrackUser("bob");
    Frames l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, 5u);
    QCOMPARE(l_sent[0].body, StringField("bob"));
    QVERIFY(UserItem("bob").IsConnected("is_tracked"));

    l_server.UntrackUser("bob");
    l_server.UntrackUser("bob");
    l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, 6u);
    QCOMPARE(l_sent[0].body, StringField("bob"));
    QVERIFY(!UserItem("bob").IsConnected("is_tracked"));

    l_server.TrackUser("bob");
    l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, 5u);
}

// A "no such user" answer leaves the name watched: still tracked, and watched again at the next
// login. The server keeps no watch of it, though: the next TrackUser asks again, once.
void TestServerRequests::watchAskedAgainAfterNoSuchUser()
{
    Server& l_server = mp_harness->Client();
    int l_connection = LogIn();
    QVERIFY(l_connection);
    l_server.TrackUser("bob");
    QCOMPARE(mp_harness->SentFrames(l_connection).size(), 1);
    QVERIFY(
        mp_harness->Deliver(l_connection, 5, WireWriter().WriteString("bob").WriteU8(0).Bytes()));
    QVERIFY(UserItem("bob").IsConnected("is_tracked"));
    l_server.TrackUser("bob");
    l_server.TrackUser("bob");
    Frames l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, 5u);
    QCOMPARE(l_sent[0].body, StringField("bob"));

    l_server.Disconnect();
    QTRY_COMPARE(mp_harness->ClientState(), 0);
    l_connection = mp_harness->LogIn();
    QVERIFY(l_connection);
    l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 3);
    QCOMPARE(l_sent[2].code, 5u);
    QCOMPARE(l_sent[2].body, StringField("bob"));
}

void TestServerRequests::addressRequestPendingUntilAnswered()
{
    Server& l_server = mp_harness->Client();
    const int l_connection = LogIn();
    QVERIFY(l_connection);
    l_server.GetUserAddress("bob");
    l_server.GetUserAddress("bob");
    Frames l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, 3u);
    QCOMPARE(l_sent[0].body, StringField("bob"));
    QVERIFY(UserItem("bob").IsConnected("user_address_request"));

    QVERIFY(mp_harness->Deliver(l_connection, 3,
                                WireWriter()
                                    .WriteString("bob")
                                    .WriteU32(0x0100007f)
                                    .WriteI32(2234)
                                    .WriteI32(0)
                                    .WriteU16(0)
                                    .Bytes()));
    QVERIFY(!UserItem("bob").IsConnected("user_address_request"));
    l_server.GetUserAddress("bob");
    l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, 3u);
}

void TestServerRequests::leaveRoomOnlyWhenIn()
{
    Server& l_server = mp_harness->Client();
    const int l_connection = LogIn();
    QVERIFY(l_connection);
    l_server.LeaveRoom("lobby");
    QVERIFY(mp_harness->SentFrames(l_connection).isEmpty());
    d.GetType("room")->GetItem("lobby")->NewItem("in_room");
    l_server.LeaveRoom("lobby");
    const Frames l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 1);
    QCOMPARE(l_sent[0].code, 15u);
    QCOMPARE(l_sent[0].body, StringField("lobby"));
    // Nothing changes until the server answers.
    QVERIFY(d.GetType("room")->HasItem("lobby").IsConnected("in_room"));
}

void TestServerRequests::roomListRequestAcceptsTheNextList()
{
    const int l_connection = LogIn();
    QVERIFY(l_connection);
    TestSettings::SetSetting("accept_room_list", "no");
    mp_harness->Client().GetRoomList();
    QCOMPARE(TestSettings::Setting("accept_room_list").AsString(), std::string("yes"));
}

void TestServerRequests::storeChangesWhileDisconnected()
{
    Server& l_server = mp_harness->Client();
    TestSettings::SetSetting("accept_room_list", "no");
    l_server.GetRoomList();
    l_server.TrackUser("bob");
    l_server.GetUserAddress("carol");
    l_server.SendPrivateChat("bob", "lost");
    QCOMPARE(TestSettings::Setting("accept_room_list").AsString(), std::string("yes"));
    QVERIFY(UserItem("bob").IsConnected("is_tracked"));
    QVERIFY(UserItem("carol").IsConnected("user_address_request"));

    // The watch and the address request go at the login; the rest was dropped.
    const int l_connection = mp_harness->LogIn();
    QVERIFY(l_connection);
    const Frames l_sent = mp_harness->SentFrames(l_connection);
    QList<quint32> l_codes;
    for (const auto& l_frame : l_sent)
        l_codes.append(l_frame.code);
    QCOMPARE(l_codes, QList<quint32>({1, 2, 5, 3}));
    QCOMPARE(l_sent[2].body, StringField("bob"));
    QCOMPARE(l_sent[3].body, StringField("carol"));
}

QTEST_GUILESS_MAIN(TestServerRequests)
#include "tst_server_requests.moc"
