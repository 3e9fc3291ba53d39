#include "FrameClient.h"
#include "TestServer.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace
{
constexpr int kTimeout = 10000;
constexpr quint32 kLocalHost = 0x7F000001;

QByteArray LoginFields(const QByteArray& i_user, const QByteArray& i_password)
{
    return WireWriter()
        .WriteString(i_user)
        .WriteString(i_password)
        .WriteU32(157)
        .WriteString(QCryptographicHash::hash(i_user + i_password, QCryptographicHash::Md5).toHex())
        .WriteU32(100)
        .Bytes();
}

QByteArray Stats(quint32 i_speed, quint32 i_files, quint32 i_folders)
{
    return WireWriter().WriteUserStats(i_speed, 0, i_files, i_folders).Bytes();
}

QByteArray StringField(const QByteArray& i_value)
{
    return WireWriter().WriteString(i_value).Bytes();
}
} // namespace

class TestTestServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void wireWriterAndReader();
    void loginAcceptedForTwoClients();
    void loginRefused();
    void sameNameReplacesEarlierSession();
    void userStatusAddressAndStats();
    void roomJoinChatListAndLeave();
    void privateRoomOnlyForItsOwner();
    void privateMessageDeliveredUntilAcknowledged();
    void connectionRequestAndFailureRelayed();
    void searchReachesOtherClientsAsEmbeddedSearch();
    void framesInPiecesAndBursts();
    void dropConnection();
    void malformedInputRefused();
    void manualModeOnlyRecords();

private:
    // Connects and logs in; fails the test unless the login is accepted.
    std::unique_ptr<FrameClient> LogIn(const QByteArray& i_user,
                                       const QByteArray& i_password = QByteArrayLiteral("pw"));
    // Takes the frames that follow an accepted login, up to the last of them (code 104).
    static bool DrainLogin(FrameClient& io_client);
    // Sends a status request and returns the next frame, which must be its reply: everything
    // the server sent before it has been received by then.
    quint32 NextCodeAfterProbe(FrameClient& io_client);

    std::unique_ptr<TestServer> mp_server;
};

void TestTestServer::init()
{
    mp_server = std::make_unique<TestServer>();
    QVERIFY(mp_server->Listen(0));
    QVERIFY(mp_server->Port() != 0);
}

void TestTestServer::cleanup()
{
    mp_server.reset();
}

std::unique_ptr<FrameClient> TestTestServer::LogIn(const QByteArray& i_user,
                                                   const QByteArray& i_password)
{
    auto lp_client = std::make_unique<FrameClient>();
    if (!lp_client->Connect(mp_server->Port()))
    {
        qWarning("could not connect");
        return nullptr;
    }
    lp_client->SendMessage(1, LoginFields(i_user, i_password));
    const auto l_reply = lp_client->TakeNext();
    if (!l_reply || l_reply->code != 1 || WireReader(l_reply->fields).ReadU8() != 1 ||
        !DrainLogin(*lp_client))
    {
        qWarning("login of %s not accepted", i_user.constData());
        return nullptr;
    }
    return lp_client;
}

bool TestTestServer::DrainLogin(FrameClient& io_client)
{
    for (auto l_next = io_client.TakeNext(); l_next; l_next = io_client.TakeNext())
    {
        if (l_next->code == 104)
        {
            return true;
        }
    }
    return false;
}

quint32 TestTestServer::NextCodeAfterProbe(FrameClient& io_client)
{
    io_client.SendMessage(7, StringField(QByteArrayLiteral("probe")));
    const auto l_next = io_client.TakeNext();
    return l_next ? l_next->code : 0;
}

void TestTestServer::wireWriterAndReader()
{
    WireWriter l_writer;
    l_writer.WriteU32(0x01020304).WriteI32(-2).WriteU16(0x0506).WriteU8(7).WriteBool(true);
    l_writer.WriteU64(0x1122334455667788ULL).WriteString(QByteArray("a\0b", 3));
    QCOMPARE(l_writer.Bytes().toHex(),
             QByteArray("04030201feffffff0605070188776655443322110300000061006"
                        "2"));
    QCOMPARE(WireWriter::Frame(64, QByteArray()).toHex(), QByteArray("0400000040000000"));
    QCOMPARE(l_writer.Frame().size(), l_writer.Size() + 4);

    WireReader l_reader(l_writer.Bytes());
    QCOMPARE(l_reader.ReadU32(), 0x01020304u);
    QCOMPARE(l_reader.ReadI32(), -2);
    QCOMPARE(l_reader.ReadU16(), quint16(0x0506));
    QCOMPARE(l_reader.ReadU8(), quint8(7));
    QVERIFY(l_reader.ReadBool());
    QCOMPARE(l_reader.ReadU64(), 0x1122334455667788ULL);
    // The zero byte stays: a test must see exactly what was sent.
    QCOMPARE(l_reader.ReadString(), QByteArray("a\0b", 3));
    QVERIFY(l_reader.Ok() && l_reader.AtEnd());

    // Short input: the read fails, consumes nothing, and the failure sticks.
    WireReader l_short(QByteArray("\x01\x02\x03", 3));
    QCOMPARE(l_short.ReadU32(), 0u);
    QVERIFY(!l_short.Ok());
    QCOMPARE(l_short.Position(), 0);
    QCOMPARE(l_short.ReadU8(), quint8(0));
    QCOMPARE(l_short.Position(), 0);

    // A string longer than what is left, or above the limit, fails without reading on.
    WireReader l_truncated(WireWriter().WriteU32(10).WriteRaw("abc").Bytes());
    QVERIFY(l_truncated.ReadString().isEmpty());
    QVERIFY(!l_truncated.Ok());
    QCOMPARE(l_truncated.Position(), 0);
    QByteArray l_longest(131072, 'x');
    WireReader l_limit(WireWriter().WriteString(l_longest).WriteU32(131073).Bytes());
    QCOMPARE(l_limit.ReadString().size(), 131072);
    QVERIFY(l_limit.ReadString().isEmpty());
    QVERIFY(!l_limit.Ok());

    // Counts above the limit or beyond the data fail at once; a failing element restores the
    // position of the list.
    QVERIFY(!WireReader(WireWriter().WriteU32(0xFFFFFFFF).Bytes()).ReadI32List().size());
    WireReader l_hugeCount(WireWriter().WriteU32(131073).Bytes());
    QVERIFY(l_hugeCount.ReadStringList().isEmpty());
    QVERIFY(!l_hugeCount.Ok());
    WireReader l_shortList(WireWriter().WriteU32(3).WriteString("a").WriteString("b").Bytes());
    QVERIFY(l_shortList.ReadStringList().isEmpty());
    QVERIFY(!l_shortList.Ok());
    QCOMPARE(l_shortList.Position(), 0);
    WireReader l_list(WireWriter().WriteStringList({"x", "yy"}).WriteI32List({1, -1}).Bytes());
    QCOMPARE(l_list.ReadStringList(), QList<QByteArray>({"x", "yy"}));
    QCOMPARE(l_list.ReadI32List(), QList<qint32>({1, -1}));
    QVERIFY(l_list.Ok() && l_list.AtEnd());
    QVERIFY(WireReader(QByteArray()).ReadRaw(-1).isEmpty());
}

void TestTestServer::loginAcceptedForTwoClients()
{
    mp_server->SetParentMinSpeed(7);
    mp_server->SetParentSpeedRatio(33);
    mp_server->SetWishListInterval(600);
    QSignalSpy l_loggedIn(mp_server.get(), &TestServer::LoggedIn);
    QSignalSpy l_connected(mp_server.get(), &TestServer::ClientConnected);

    FrameClient l_alice;
    QVERIFY(l_alice.Connect(mp_server->Port()));
    l_alice.SendMessage(1, LoginFields("alice", "pw1"));

    // The login reply first, then the room list and the three settings.
    auto l_frame = l_alice.TakeNext();
    QVERIFY(l_frame);
    QCOMPARE(l_frame->code, 1u);
    WireReader l_reply(l_frame->fields);
    QVERIFY(l_reply.ReadBool());
    QVERIFY(!l_reply.ReadString().isEmpty());
    QCOMPARE(l_reply.ReadU32(), kLocalHost);
    QCOMPARE(l_reply.ReadString(),
             QCryptographicHash::hash("pw1", QCryptographicHash::Md5).toHex());
    QVERIFY(l_reply.Ok() && l_reply.AtEnd());

    l_frame = l_alice.TakeNext();
    QVERIFY(l_frame);
    QCOMPARE(l_frame->code, 64u);
    QCOMPARE(l_frame->fields, QByteArray(7 * 4, '\0'));
    const QList<QPair<quint32, QByteArray>> l_settings = {
        {83, WireWriter().WriteI32(7).Bytes()},
        {84, WireWriter().WriteI32(33).Bytes()},
        {104, WireWriter().WriteU32(600).Bytes()}};
    for (const auto& l_expected : l_settings)
    {
        l_frame = l_alice.TakeNext();
        QVERIFY(l_frame);
        QCOMPARE(l_frame->code, l_expected.first);
        QCOMPARE(l_frame->fields, l_expected.second);
    }

    auto lp_bob = LogIn("bob");
    QVERIFY(lp_bob);
    QCOMPARE(l_connected.count(), 2);
    QCOMPARE(l_loggedIn.count(), 2);
    QCOMPARE(l_loggedIn.at(0).at(1).toByteArray(), QByteArray("alice"));
    QCOMPARE(l_loggedIn.at(1).at(1).toByteArray(), QByteArray("bob"));
    const int l_aliceId = mp_server->ConnectionOf("alice");
    QCOMPARE(l_aliceId, l_loggedIn.at(0).at(0).toInt());
    QVERIFY(mp_server->IsLoggedIn(l_aliceId));
    QCOMPARE(mp_server->UserOf(mp_server->ConnectionOf("bob")), QByteArray("bob"));
    QCOMPARE(mp_server->Connections().size(), 2);

    const auto l_received = mp_server->ReceivedFrames(l_aliceId);
    QCOMPARE(l_received.size(), 1);
    QCOMPARE(l_received.at(0).code, 1u);
    QCOMPARE(l_received.at(0).body, LoginFields("alice", "pw1"));
}

void TestTestServer::loginRefused()
{
    mp_server->RefuseLogin("mallory", "BANNED");
    QSignalSpy l_refused(mp_server.get(), &TestServer::LoginRefused);
    const auto l_expectRefusal = [this](const QByteArray& i_fields, const QByteArray& i_reason)
    {
        FrameClient l_client;
        QVERIFY(l_client.Connect(mp_server->Port()));
        l_client.SendMessage(1, i_fields);
        const auto l_reply = l_client.Take(1);
        QVERIFY(l_reply);
        QCOMPARE(*l_reply, WireWriter().WriteBool(false).WriteString(i_reason).Bytes());
        QVERIFY(mp_server->Connections().size() >= 1);
    };

    l_expectRefusal(LoginFields("mallory", "pw"), "BANNED");
    QCOMPARE(l_refused.count(), 1);
    QCOMPARE(l_refused.at(0).at(1).toByteArray(), QByteArray("mallory"));
    QCOMPARE(l_refused.at(0).at(2).toByteArray(), QByteArray("BANNED"));
    QCOMPARE(mp_server->ConnectionOf("mallory"), 0);

    // The first login sets the password; another one is refused afterwards.
    {
        auto lp_alice = LogIn("alice", "right");
        QVERIFY(lp_alice);
    }
    QTRY_COMPARE_WITH_TIMEOUT(mp_server->ConnectionOf("alice"), 0, kTimeout);
    l_expectRefusal(LoginFields("alice", "wrong"), "INVALIDPASS");
    mp_server->SetPassword("carol", "secret");
    l_expectRefusal(LoginFields("carol", "other"), "INVALIDPASS");
    QVERIFY(LogIn("carol", "secret"));

    // A hash that is not the MD5 of name and password.
    l_expectRefusal(WireWriter()
                        .WriteString("dave")
                        .WriteString("pw")
                        .WriteU32(157)
                        .WriteString(QByteArray(32, '0'))
                        .WriteU32(100)
                        .Bytes(),
                    "INVALIDHASH");
    l_expectRefusal(LoginFields("", "pw"), "INVALIDUSERNAME");
    l_expectRefusal(StringField("erin"), "INVALIDMESSAGE");
    QCOMPARE(l_refused.count(), 6);
}

void TestTestServer::sameNameReplacesEarlierSession()
{
    auto lp_first = LogIn("alice");
    QVERIFY(lp_first);
    const int l_firstId = mp_server->ConnectionOf("alice");
    auto lp_second = LogIn("alice");
    QVERIFY(lp_second);
    QVERIFY(lp_first->WaitForDisconnected(kTimeout));
    QVERIFY(mp_server->ConnectionOf("alice") != l_firstId);
    QVERIFY(!mp_server->IsLoggedIn(l_firstId));
    QCOMPARE(NextCodeAfterProbe(*lp_second), 7u);
}

void TestTestServer::userStatusAddressAndStats()
{
    mp_server->SetUserCountry("bob", "NL");
    auto lp_alice = LogIn("alice");
    auto lp_bob = LogIn("bob");
    QVERIFY(lp_alice && lp_bob);
    const int l_bobId = mp_server->ConnectionOf("bob");

    lp_bob->SendMessage(2, WireWriter().WriteU32(2235).WriteU32(1).WriteU32(2236).Bytes());
    lp_bob->SendMessage(35, WireWriter().WriteU32(3).WriteU32(40).Bytes());
    lp_bob->SendMessage(121, WireWriter().WriteU32(5000).Bytes());
    QTRY_VERIFY_WITH_TIMEOUT(!mp_server->ReceivedFrames(l_bobId, 121).isEmpty(), kTimeout);

    lp_alice->SendMessage(3, StringField("bob"));
    auto l_reply = lp_alice->Take(3);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter()
                           .WriteString("bob")
                           .WriteU32(kLocalHost)
                           .WriteI32(2235)
                           .WriteI32(1)
                           .WriteU16(2236)
                           .Bytes());
    lp_alice->SendMessage(3, StringField("nobody"));
    l_reply = lp_alice->Take(3);
    QVERIFY(l_reply);
    QCOMPARE(
        *l_reply,
        WireWriter().WriteString("nobody").WriteU32(0).WriteI32(0).WriteI32(0).WriteU16(0).Bytes());

    lp_alice->SendMessage(5, StringField("bob"));
    l_reply = lp_alice->Take(5);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter()
                           .WriteString("bob")
                           .WriteBool(true)
                           .WriteI32(2)
                           .WriteRaw(Stats(5000, 40, 3))
                           .WriteString("NL")
                           .Bytes());
    // A name not logged in yet is an existing user, offline; the watch is kept.
    lp_alice->SendMessage(5, StringField("nobody"));
    l_reply = lp_alice->Take(5);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter()
                           .WriteString("nobody")
                           .WriteBool(true)
                           .WriteI32(0)
                           .WriteRaw(Stats(0, 0, 0))
                           .Bytes());
    auto lp_nobody = LogIn("nobody");
    QVERIFY(lp_nobody);
    l_reply = lp_alice->Take(7);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter().WriteString("nobody").WriteI32(2).WriteBool(false).Bytes());

    lp_alice->SendMessage(7, StringField("bob"));
    l_reply = lp_alice->Take(7);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter().WriteString("bob").WriteI32(2).WriteBool(false).Bytes());
    lp_alice->SendMessage(36, StringField("bob"));
    l_reply = lp_alice->Take(36);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter().WriteString("bob").WriteRaw(Stats(5000, 40, 3)).Bytes());

    // The watcher hears of the watched user leaving and coming back.
    lp_bob.reset();
    l_reply = lp_alice->Take(7);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter().WriteString("bob").WriteI32(0).WriteBool(false).Bytes());
    lp_alice->SendMessage(5, StringField("bob"));
    l_reply = lp_alice->Take(5);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter()
                           .WriteString("bob")
                           .WriteBool(true)
                           .WriteI32(0)
                           .WriteRaw(Stats(5000, 40, 3))
                           .Bytes());
    lp_bob = LogIn("bob");
    QVERIFY(lp_bob);
    l_reply = lp_alice->Take(7);
    QVERIFY(l_reply);
    QCOMPARE(*l_reply, WireWriter().WriteString("bob").WriteI32(2).WriteBool(false).Bytes());

    // After unwatching, nothing more comes.
    lp_alice->SendMessage(6, StringField("bob"));
    lp_bob.reset();
    QTRY_COMPARE_WITH_TIMEOUT(mp_server->ConnectionOf("bob"), 0, kTimeout);
    QCOMPARE(NextCodeAfterProbe(*lp_alice), 7u);
    QVERIFY(lp_alice->Pending().isEmpty());
}

void TestTestServer::roomJoinChatListAndLeave()
{
    mp_server->SetUserCountry("bob", "DE");
    auto lp_alice = LogIn("alice");
    auto lp_bob = LogIn("bob");
    QVERIFY(lp_alice && lp_bob);

    lp_alice->SendMessage(14, WireWriter().WriteString("lobby").WriteU32(0).Bytes());
    auto l_joined = lp_alice->Take(14);
    QVERIFY(l_joined);
    QCOMPARE(*l_joined, WireWriter()
                            .WriteString("lobby")
                            .WriteStringList({"alice"})
                            .WriteI32List({2})
                            .WriteI32(1)
                            .WriteRaw(Stats(0, 0, 0))
                            .WriteI32List({0})
                            .WriteStringList({""})
                            .Bytes());

    lp_bob->SendMessage(14, WireWriter().WriteString("lobby").WriteU32(0).Bytes());
    l_joined = lp_bob->Take(14);
    QVERIFY(l_joined);
    QCOMPARE(*l_joined, WireWriter()
                            .WriteString("lobby")
                            .WriteStringList({"alice", "bob"})
                            .WriteI32List({2, 2})
                            .WriteI32(2)
                            .WriteRaw(Stats(0, 0, 0))
                            .WriteRaw(Stats(0, 0, 0))
                            .WriteI32List({0, 0})
                            .WriteStringList({"", "DE"})
                            .Bytes());
    auto l_arrived = lp_alice->Take(16);
    QVERIFY(l_arrived);
    QCOMPARE(*l_arrived, WireWriter()
                             .WriteString("lobby")
                             .WriteString("bob")
                             .WriteI32(2)
                             .WriteRaw(Stats(0, 0, 0))
                             .WriteI32(0)
                             .WriteString("DE")
                             .Bytes());

    // Chat reaches every member, the speaker too.
    lp_bob->SendMessage(13, WireWriter().WriteString("lobby").WriteString("hello").Bytes());
    const QByteArray l_chat =
        WireWriter().WriteString("lobby").WriteString("bob").WriteString("hello").Bytes();
    QCOMPARE(lp_alice->Take(13), std::optional<QByteArray>(l_chat));
    QCOMPARE(lp_bob->Take(13), std::optional<QByteArray>(l_chat));

    lp_alice->SendMessage(64, QByteArray());
    const auto l_list = lp_alice->Take(64);
    QVERIFY(l_list);
    QCOMPARE(*l_list, WireWriter()
                          .WriteStringList({"lobby"})
                          .WriteI32List({2})
                          .WriteStringList({})
                          .WriteI32List({})
                          .WriteStringList({})
                          .WriteI32List({})
                          .WriteStringList({})
                          .Bytes());

    lp_bob->SendMessage(15, StringField("lobby"));
    QCOMPARE(lp_bob->Take(15), std::optional<QByteArray>(StringField("lobby")));
    QCOMPARE(lp_alice->Take(17), std::optional<QByteArray>(
                                     WireWriter().WriteString("lobby").WriteString("bob").Bytes()));
    QCOMPARE(mp_server->RoomMembers("lobby"), QList<QByteArray>({"alice"}));

    // A member who is no longer in the room cannot chat there; leaving twice does nothing.
    lp_bob->SendMessage(13, WireWriter().WriteString("lobby").WriteString("late").Bytes());
    lp_bob->SendMessage(15, StringField("lobby"));
    QCOMPARE(NextCodeAfterProbe(*lp_bob), 7u);
    QCOMPARE(NextCodeAfterProbe(*lp_alice), 7u);

    // A lost connection leaves its rooms; the empty room is gone.
    lp_alice.reset();
    QTRY_VERIFY_WITH_TIMEOUT(mp_server->RoomMembers("lobby").isEmpty(), kTimeout);
    lp_bob->SendMessage(64, QByteArray());
    const auto l_empty = lp_bob->Take(64);
    QVERIFY(l_empty);
    QCOMPARE(*l_empty, QByteArray(7 * 4, '\0'));
}

void TestTestServer::privateRoomOnlyForItsOwner()
{
    auto lp_alice = LogIn("alice");
    auto lp_bob = LogIn("bob");
    QVERIFY(lp_alice && lp_bob);

    lp_alice->SendMessage(14, WireWriter().WriteString("den").WriteU32(1).Bytes());
    const auto l_joined = lp_alice->Take(14);
    QVERIFY(l_joined);
    QCOMPARE(*l_joined, WireWriter()
                            .WriteString("den")
                            .WriteStringList({"alice"})
                            .WriteI32List({2})
                            .WriteI32(1)
                            .WriteRaw(Stats(0, 0, 0))
                            .WriteI32List({0})
                            .WriteStringList({""})
                            .WriteString("alice")
                            .WriteStringList({})
                            .Bytes());

    lp_bob->SendMessage(14, WireWriter().WriteString("den").WriteU32(0).Bytes());
    QCOMPARE(NextCodeAfterProbe(*lp_bob), 7u);
    QCOMPARE(mp_server->RoomMembers("den"), QList<QByteArray>({"alice"}));

    lp_alice->SendMessage(64, QByteArray());
    const auto l_list = lp_alice->Take(64);
    QVERIFY(l_list);
    QCOMPARE(*l_list, WireWriter()
                          .WriteStringList({})
                          .WriteI32List({})
                          .WriteStringList({"den"})
                          .WriteI32List({1})
                          .WriteStringList({})
                          .WriteI32List({})
                          .WriteStringList({})
                          .Bytes());
    lp_bob->SendMessage(64, QByteArray());
    QCOMPARE(lp_bob->Take(64), std::optional<QByteArray>(QByteArray(7 * 4, '\0')));
}

void TestTestServer::privateMessageDeliveredUntilAcknowledged()
{
    auto lp_alice = LogIn("alice");
    auto lp_bob = LogIn("bob");
    QVERIFY(lp_alice && lp_bob);
    QSignalSpy l_frames(mp_server.get(), &TestServer::FrameReceived);

    const qint64 l_before = QDateTime::currentSecsSinceEpoch();
    lp_alice->SendMessage(22, WireWriter().WriteString("bob").WriteString("hi bob").Bytes());
    auto l_message = lp_bob->Take(22);
    QVERIFY(l_message);
    WireReader l_reader(*l_message);
    const quint32 l_id = l_reader.ReadU32();
    const qint64 l_time = l_reader.ReadU32();
    QVERIFY(l_time >= l_before && l_time <= QDateTime::currentSecsSinceEpoch());
    QCOMPARE(l_reader.ReadString(), QByteArray("alice"));
    QCOMPARE(l_reader.ReadString(), QByteArray("hi bob"));
    QCOMPARE(l_reader.ReadU8(), quint8(1));
    QVERIFY(l_reader.Ok() && l_reader.AtEnd());

    lp_bob->SendMessage(23, WireWriter().WriteU32(l_id).Bytes());
    const int l_bobId = mp_server->ConnectionOf("bob");
    QTRY_VERIFY_WITH_TIMEOUT(!mp_server->ReceivedFrames(l_bobId, 23).isEmpty(), kTimeout);
    QCOMPARE(mp_server->ReceivedFrames(l_bobId, 23).at(0).body,
             WireWriter().WriteU32(l_id).Bytes());
    bool l_signalled = false;
    for (const auto& l_arguments : l_frames)
    {
        l_signalled = l_signalled ||
                      (l_arguments.at(0).toInt() == l_bobId && l_arguments.at(1).toUInt() == 23u);
    }
    QVERIFY(l_signalled);

    // Acknowledged: not delivered again at the next login.
    lp_bob.reset();
    QTRY_COMPARE_WITH_TIMEOUT(mp_server->ConnectionOf("bob"), 0, kTimeout);
    lp_bob = LogIn("bob");
    QVERIFY(lp_bob);
    QCOMPARE(NextCodeAfterProbe(*lp_bob), 7u);
    for (const auto& l_pending : lp_bob->Pending())
    {
        QVERIFY(l_pending.code != 22);
    }

    // A message for a user who is offline waits for the login and is not spontaneous; it comes
    // again at each login until acknowledged.
    lp_alice->SendMessage(22, WireWriter().WriteString("carol").WriteString("later").Bytes());
    QTRY_COMPARE_WITH_TIMEOUT(
        mp_server->ReceivedFrames(mp_server->ConnectionOf("alice"), 22).size(), 2, kTimeout);
    quint32 l_carolId = 0;
    for (int l_round = 0; l_round < 2; ++l_round)
    {
        auto lp_carol = LogIn("carol");
        QVERIFY(lp_carol);
        l_message = lp_carol->Take(22);
        QVERIFY(l_message);
        WireReader l_queued(*l_message);
        l_carolId = l_queued.ReadU32();
        l_queued.ReadU32();
        QCOMPARE(l_queued.ReadString(), QByteArray("alice"));
        QCOMPARE(l_queued.ReadString(), QByteArray("later"));
        QCOMPARE(l_queued.ReadU8(), quint8(0));
        QVERIFY(l_queued.Ok() && l_queued.AtEnd());
        if (l_round == 1)
        {
            lp_carol->SendMessage(23, WireWriter().WriteU32(l_carolId).Bytes());
            QCOMPARE(NextCodeAfterProbe(*lp_carol), 7u);
        }
        lp_carol.reset();
        QTRY_COMPARE_WITH_TIMEOUT(mp_server->ConnectionOf("carol"), 0, kTimeout);
    }
    auto lp_carol = LogIn("carol");
    QVERIFY(lp_carol);
    QCOMPARE(NextCodeAfterProbe(*lp_carol), 7u);
    for (const auto& l_pending : lp_carol->Pending())
    {
        QVERIFY(l_pending.code != 22);
    }
    QVERIFY(l_carolId != l_id);
}

void TestTestServer::connectionRequestAndFailureRelayed()
{
    auto lp_alice = LogIn("alice");
    auto lp_bob = LogIn("bob");
    QVERIFY(lp_alice && lp_bob);
    const int l_aliceId = mp_server->ConnectionOf("alice");
    lp_alice->SendMessage(2, WireWriter().WriteU32(2235).WriteU32(1).WriteU32(2236).Bytes());
    QTRY_VERIFY_WITH_TIMEOUT(!mp_server->ReceivedFrames(l_aliceId, 2).isEmpty(), kTimeout);

    lp_alice->SendMessage(18, WireWriter().WriteU32(7).WriteString("bob").WriteString("P").Bytes());
    const auto l_request = lp_bob->Take(18);
    QVERIFY(l_request);
    QCOMPARE(*l_request, WireWriter()
                             .WriteString("alice")
                             .WriteString("P")
                             .WriteU32(kLocalHost)
                             .WriteI32(2235)
                             .WriteU32(7)
                             .WriteBool(false)
                             .WriteI32(1)
                             .WriteI32(2236)
                             .Bytes());

    lp_bob->SendMessage(1001, WireWriter().WriteU32(7).WriteString("alice").Bytes());
    QCOMPARE(lp_alice->Take(1001), std::optional<QByteArray>(WireWriter().WriteU32(7).Bytes()));

    // Nobody to relay to: the requester hears of the failure at once.
    lp_alice->SendMessage(18,
                          WireWriter().WriteU32(8).WriteString("nobody").WriteString("F").Bytes());
    QCOMPARE(lp_alice->Take(1001), std::optional<QByteArray>(WireWriter().WriteU32(8).Bytes()));

    // A requester with a plain port only: obfuscation type 0 and no obfuscated port.
    const int l_bobId = mp_server->ConnectionOf("bob");
    lp_bob->SendMessage(2, WireWriter().WriteU32(3000).Bytes());
    QTRY_VERIFY_WITH_TIMEOUT(!mp_server->ReceivedFrames(l_bobId, 2).isEmpty(), kTimeout);
    lp_bob->SendMessage(18, WireWriter().WriteU32(1).WriteString("alice").WriteString("D").Bytes());
    QCOMPARE(lp_alice->Take(18), std::optional<QByteArray>(WireWriter()
                                                               .WriteString("bob")
                                                               .WriteString("D")
                                                               .WriteU32(kLocalHost)
                                                               .WriteI32(3000)
                                                               .WriteU32(1)
                                                               .WriteBool(false)
                                                               .WriteI32(0)
                                                               .Bytes()));
}

void TestTestServer::searchReachesOtherClientsAsEmbeddedSearch()
{
    auto lp_alice = LogIn("alice");
    auto lp_bob = LogIn("bob");
    auto lp_carol = LogIn("carol");
    QVERIFY(lp_alice && lp_bob && lp_carol);
    // Connected but not logged in: gets nothing.
    FrameClient l_stranger;
    QVERIFY(l_stranger.Connect(mp_server->Port()));

    lp_alice->SendMessage(26, WireWriter().WriteU32(5).WriteString("free music").Bytes());
    const QByteArray l_embedded = WireWriter()
                                      .WriteU8(3)
                                      .WriteU32(49)
                                      .WriteString("alice")
                                      .WriteU32(5)
                                      .WriteString("free music")
                                      .Bytes();
    QCOMPARE(lp_bob->Take(93), std::optional<QByteArray>(l_embedded));
    QCOMPARE(lp_carol->Take(93), std::optional<QByteArray>(l_embedded));
    QCOMPARE(NextCodeAfterProbe(*lp_alice), 7u);

    // A wish-list search travels the same way.
    lp_bob->SendMessage(103, WireWriter().WriteU32(1).WriteString("rare").Bytes());
    const auto l_wish = lp_alice->Take(93);
    QVERIFY(l_wish);
    WireReader l_reader(*l_wish);
    QCOMPARE(l_reader.ReadU8(), quint8(3));
    QCOMPARE(l_reader.ReadU32(), 49u);
    QCOMPARE(l_reader.ReadString(), QByteArray("bob"));
    QVERIFY(l_stranger.Pending().isEmpty());
}

void TestTestServer::framesInPiecesAndBursts()
{
    auto lp_alice = LogIn("alice");
    QVERIFY(lp_alice);
    QCOMPARE(NextCodeAfterProbe(*lp_alice), 7u);
    const int l_aliceId = mp_server->ConnectionOf("alice");

    // Server to client: one frame in four pieces, the first cutting the length word.
    QSignalSpy l_piecesSent(mp_server.get(), &TestServer::PiecesSent);
    const QByteArray l_fields =
        WireWriter().WriteString("room").WriteString("user").WriteString("text").Bytes();
    const int l_readsBefore = lp_alice->ReadCount();
    mp_server->SendFrameInPieces(l_aliceId, 13, l_fields, {2, 5, 9}, 30);
    QVERIFY(l_piecesSent.wait(kTimeout));
    QCOMPARE(l_piecesSent.at(0).at(0).toInt(), l_aliceId);
    QCOMPARE(lp_alice->Take(13), std::optional<QByteArray>(l_fields));
    QVERIFY(lp_alice->ReadCount() - l_readsBefore >= 2);
    QVERIFY(lp_alice->Pending().isEmpty());

    // Several frames in one write, then raw bytes: all arrive whole and in order, and a plain
    // send made while pieces are still waiting comes after them.
    mp_server->SendFrames(l_aliceId, {{83, WireWriter().WriteI32(1).Bytes()},
                                      {84, WireWriter().WriteI32(2).Bytes()},
                                      {104, WireWriter().WriteU32(3).Bytes()}});
    mp_server->SendRawInPieces(l_aliceId, WireWriter::Frame(130, QByteArray()), {3}, 20);
    mp_server->SendRaw(l_aliceId, WireWriter::Frame(92, WireWriter().WriteI32(9).Bytes()));
    const QList<quint32> l_codes = {83, 84, 104, 130, 92};
    for (quint32 l_code : l_codes)
    {
        const auto l_next = lp_alice->TakeNext();
        QVERIFY(l_next);
        QCOMPARE(l_next->code, l_code);
    }

    // Client to server: a frame in pieces and a burst of three.
    QSignalSpy l_frames(mp_server.get(), &TestServer::FrameReceived);
    const QByteArray l_frame = WireWriter::Frame(7, StringField("bob"));
    lp_alice->SendRaw(l_frame.left(2));
    QVERIFY(lp_alice->WaitForWritten());
    lp_alice->SendRaw(l_frame.mid(2, 5));
    QVERIFY(lp_alice->WaitForWritten());
    lp_alice->SendRaw(l_frame.mid(7));
    QVERIFY(l_frames.wait(kTimeout));
    QCOMPARE(l_frames.count(), 1);
    QCOMPARE(l_frames.at(0).at(1).toUInt(), 7u);
    QCOMPARE(l_frames.at(0).at(2).toByteArray(), StringField("bob"));
    QVERIFY(lp_alice->Take(7));

    lp_alice->SendRaw(WireWriter::Frame(7, StringField("x")) +
                      WireWriter::Frame(36, StringField("y")) +
                      WireWriter::Frame(7, StringField("z")));
    QTRY_COMPARE_WITH_TIMEOUT(l_frames.count(), 4, kTimeout);
    const QList<QByteArray> l_names = {"x", "y", "z"};
    for (const QByteArray& l_name : l_names)
    {
        const auto l_next = lp_alice->TakeNext();
        QVERIFY(l_next);
        QCOMPARE(WireReader(l_next->fields).ReadString(), l_name);
    }
    const auto l_recorded = mp_server->ReceivedFrames(l_aliceId);
    QCOMPARE(l_recorded.size(), 6);
    QCOMPARE(l_recorded.at(3).code, 7u);
    QCOMPARE(l_recorded.at(4).code, 36u);
    QCOMPARE(mp_server->ReceivedFrames(l_aliceId, 7).size(), 4);
    mp_server->ClearReceivedFrames(l_aliceId);
    QVERIFY(mp_server->ReceivedFrames(l_aliceId).isEmpty());
}

void TestTestServer::dropConnection()
{
    auto lp_alice = LogIn("alice");
    auto lp_bob = LogIn("bob");
    QVERIFY(lp_alice && lp_bob);
    lp_alice->SendMessage(14, WireWriter().WriteString("lobby").WriteU32(0).Bytes());
    QVERIFY(lp_alice->Take(14));
    lp_bob->SendMessage(14, WireWriter().WriteString("lobby").WriteU32(0).Bytes());
    QVERIFY(lp_bob->Take(14));
    lp_alice->SendMessage(5, StringField("bob"));
    QVERIFY(lp_alice->Take(5));

    QSignalSpy l_disconnected(mp_server.get(), &TestServer::ClientDisconnected);
    const int l_bobId = mp_server->ConnectionOf("bob");
    // Pieces still waiting are discarded with the connection.
    mp_server->SendFrameInPieces(l_bobId, 13, StringField("never"), {1}, 500);
    mp_server->DropConnection(l_bobId);
    QCOMPARE(l_disconnected.count(), 1);
    QCOMPARE(l_disconnected.at(0).at(0).toInt(), l_bobId);
    QVERIFY(lp_bob->WaitForDisconnected(kTimeout));
    QVERIFY(!mp_server->Connections().contains(l_bobId));
    QCOMPARE(mp_server->ConnectionOf("bob"), 0);
    QCOMPARE(mp_server->ReceivedFrames(l_bobId, 14).size(), 1);

    QCOMPARE(lp_alice->Take(17), std::optional<QByteArray>(
                                     WireWriter().WriteString("lobby").WriteString("bob").Bytes()));
    QCOMPARE(lp_alice->Take(7),
             std::optional<QByteArray>(
                 WireWriter().WriteString("bob").WriteI32(0).WriteBool(false).Bytes()));
    QCOMPARE(mp_server->RoomMembers("lobby"), QList<QByteArray>({"alice"}));
    for (const auto& l_pending : lp_bob->Pending())
    {
        QVERIFY(l_pending.code != 13);
    }
    mp_server->DropConnection(l_bobId);
    QCOMPARE(l_disconnected.count(), 1);
}

void TestTestServer::malformedInputRefused()
{
    QSignalSpy l_disconnected(mp_server.get(), &TestServer::ClientDisconnected);
    const QList<quint32> l_lengths = {0, 3, TestServer::kMaxFrameLength + 1, 0xFFFFFFFF};
    for (quint32 l_length : l_lengths)
    {
        FrameClient l_client;
        QVERIFY(l_client.Connect(mp_server->Port()));
        l_client.SendRaw(WireWriter().WriteU32(l_length).WriteU32(1).Bytes());
        QVERIFY(l_client.WaitForDisconnected(kTimeout));
    }
    QTRY_COMPARE_WITH_TIMEOUT(l_disconnected.count(), l_lengths.size(), kTimeout);

    // Truncated fields and messages before the login are ignored; the connection stays.
    FrameClient l_early;
    QVERIFY(l_early.Connect(mp_server->Port()));
    l_early.SendMessage(7, StringField("bob"));
    l_early.SendMessage(1, LoginFields("alice", "pw"));
    const auto l_first = l_early.TakeNext();
    QVERIFY(l_first);
    QCOMPARE(l_first->code, 1u);
    QVERIFY(DrainLogin(l_early));
    const QList<quint32> l_codes = {2, 3, 5, 6, 13, 14, 15, 18, 22, 23, 26, 35, 36, 121, 1001};
    for (quint32 l_code : l_codes)
    {
        l_early.SendMessage(l_code, WireWriter().WriteU32(50).WriteRaw("ab").Bytes());
    }
    l_early.SendMessage(1, LoginFields("alice", "pw"));
    QCOMPARE(NextCodeAfterProbe(l_early), 7u);
    QVERIFY(l_early.Pending().isEmpty());
    QVERIFY(l_early.IsConnected());
}

void TestTestServer::manualModeOnlyRecords()
{
    mp_server->SetAutomaticReplies(false);
    QSignalSpy l_frames(mp_server.get(), &TestServer::FrameReceived);
    QSignalSpy l_connected(mp_server.get(), &TestServer::ClientConnected);
    FrameClient l_client;
    QVERIFY(l_client.Connect(mp_server->Port()));
    QTRY_COMPARE_WITH_TIMEOUT(l_connected.count(), 1, kTimeout);
    const int l_id = l_connected.at(0).at(0).toInt();
    l_client.SendMessage(1, LoginFields("alice", "pw"));
    QVERIFY(l_frames.wait(kTimeout));
    QCOMPARE(l_frames.at(0).at(0).toInt(), l_id);
    QCOMPARE(l_frames.at(0).at(1).toUInt(), 1u);
    QVERIFY(!mp_server->IsLoggedIn(l_id));

    const QByteArray l_refusal = WireWriter().WriteBool(false).WriteString("SCRIPTED").Bytes();
    mp_server->SendFrame(l_id, 1, l_refusal);
    const auto l_next = l_client.TakeNext();
    QVERIFY(l_next);
    QCOMPARE(l_next->code, 1u);
    QCOMPARE(l_next->fields, l_refusal);
    QVERIFY(l_client.Pending().isEmpty());
}

QTEST_GUILESS_MAIN(TestTestServer)
#include "tst_testserver.moc"
