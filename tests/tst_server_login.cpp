// The connection to the central server: the login frame, refusal, framing and reassembly, frame
// limits, loss and reconnection, and what every login restores. Everything goes through a real
// socket on 127.0.0.1 to the test server.
#include "Data.h"
#include "DataSaver.h"
#include "MemStream.h"
#include "Server.h"
#include "ServerHarness.h"
#include "TestSettings.h"
#include "WireWriter.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace
{
using Frames = QList<TestServer::ReceivedFrame>;

QByteArray StringField(const QByteArray& i_text)
{
    return WireWriter().WriteString(i_text).Bytes();
}

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

QByteArray UserStatusFields(const QByteArray& i_user, qint32 i_status)
{
    return WireWriter().WriteString(i_user).WriteI32(i_status).WriteU8(0).Bytes();
}

QList<quint32> Codes(const Frames& i_frames)
{
    QList<quint32> l_codes;
    for (const auto& l_frame : i_frames)
        l_codes.append(l_frame.code);
    return l_codes;
}

bool IsOnline(const char* ip_user)
{
    return d.GetType("user")->HasItem(ip_user).HasItem("is_online");
}
} // namespace

class TestServerLogin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void firstLoginFrameAndWhatItRestores();
    void connectNeedsAUserName();
    void onlyMissingSettingsGetDefaults();
    void loginRefused();
    void requestsWaitForTheLogin();
    void loginReplyWhenLoggedInIgnored();
    void nothingHandledWhenDisconnected();
    void reassemblyAcrossPiecesAndBursts();
    void frameLengthLimits();
    void frameLengthErrorWhileLoginPending();
    void abruptLossAndReconnection();
    void partialFrameNotJoinedToNextConnection();
    void userDisconnectDoesNotReconnect();
    void renewPortMapping();

private:
    std::unique_ptr<ServerHarness> mp_harness;
};

void TestServerLogin::initTestCase()
{
    mp_harness = std::make_unique<ServerHarness>();
}

void TestServerLogin::init()
{
    mp_harness->Reset();
}

void TestServerLogin::cleanupTestCase()
{
    mp_harness->Reset();
    mp_harness.reset();
}

// Must stay the first case that logs in: rooms to join and port mappings belong to the first
// login of the run only.
void TestServerLogin::firstLoginFrameAndWhatItRestores()
{
    Server& l_server = mp_harness->Client();
    TestSettings::SetSetting("use_upnp", "yes");
    TestSettings::SetSetting("listening_port", 2235);
    TestSettings::SetSetting("obfuscated_listening_port", 2236);
    for (const char* lp_room : {"lobby", "music"})
        d.GetType("room")->GetItem(lp_room)->NewItem("room_autojoin");
    d.GetType("room")->GetItem("quiet");
    d.GetType("user")->GetItem("bob")->NewItem("is_tracked");
    l_server.GetUserAddress("carol");
    QSignalSpy l_connecting(&l_server, &Server::Connecting);

    // User name and password of one byte each: a body of 58 bytes.
    const int l_connection = mp_harness->ConnectAndAwaitLogin("a", "b");
    QVERIFY(l_connection);
    QCOMPARE(l_connecting.count(), 1);
    const Frames l_login = mp_harness->Central().ReceivedFrames(l_connection);
    QCOMPARE(l_login.size(), 1);
    QCOMPARE(l_login[0].code, 1u);
    QCOMPARE(l_login[0].body, LoginFields("a", "b"));
    QCOMPARE(4 + l_login[0].body.size(), 58);
    QVERIFY(!l_server.IsConnected());
    mp_harness->Central().ClearReceivedFrames(l_connection);

    QSignalSpy l_connected(&l_server, &Server::Connected);
    mp_harness->Central().SendFrame(l_connection, 1, ServerHarness::AcceptedLogin());
    QVERIFY(l_connected.wait());
    QVERIFY(l_server.IsConnected());

    // The listening ports (from the peer layer, on Connected), the rooms to join in the store's
    // order, the watched users, the pending address requests.
    const Frames l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(Codes(l_sent), QList<quint32>({2, 14, 14, 5, 3}));
    QCOMPARE(l_sent[0].body, WireWriter().WriteU32(2235).WriteU32(1).WriteU32(2236).Bytes());
    QCOMPARE(4 + l_sent[0].body.size(), 16);
    QCOMPARE(l_sent[1].body, WireWriter().WriteString("lobby").WriteU32(0).Bytes());
    QCOMPARE(l_sent[2].body, WireWriter().WriteString("music").WriteU32(0).Bytes());
    QCOMPARE(l_sent[3].body, StringField("bob"));
    QCOMPARE(l_sent[4].body, StringField("carol"));
    QCOMPARE(TestSettings::Setting("accept_room_list").AsString(), std::string("yes"));

    // Discovery when connecting, then one mapping per port through the server connection.
    QTRY_COMPARE_WITH_TIMEOUT(mp_harness->LogLines(QStringLiteral("Port Forwarding"))
                                  .filter(QStringLiteral("Found own address to be 127.0.0.1"))
                                  .size(),
                              2, 20000);
    const QStringList l_upnp = mp_harness->LogLines(QStringLiteral("Port Forwarding"));
    QCOMPARE(l_upnp.first(), QStringLiteral("Initializing UPnP"));
    QCOMPARE(l_upnp.filter(QStringLiteral("Port 2235 ")).size(), 1);
    QCOMPARE(l_upnp.filter(QStringLiteral("Port 2236 ")).size(), 1);

    // A later login restores the watches and requests, but joins no room and maps no port.
    l_server.Disconnect();
    QTRY_VERIFY(mp_harness->Central().Connections().isEmpty());
    mp_harness->Central().ClearReceivedFrames(l_connection);
    const int l_second = mp_harness->LogIn("a", "b");
    QVERIFY(l_second);
    QCOMPARE(Codes(mp_harness->SentFrames(l_second)), QList<quint32>({1, 2, 5, 3}));
    QCOMPARE(mp_harness->LogLines(QStringLiteral("Port Forwarding"))
                 .filter(QStringLiteral("Found own address"))
                 .size(),
             2);
}

void TestServerLogin::connectNeedsAUserName()
{
    Server& l_server = mp_harness->Client();
    QSignalSpy l_connecting(&l_server, &Server::Connecting);
    QSignalSpy l_failed(&l_server, &Server::ConnectionFailed);
    QSignalSpy l_clients(&mp_harness->Central(), &TestServer::ClientConnected);
    l_server.Connect();
    QCOMPARE(l_connecting.count(), 0);
    QCOMPARE(l_failed.count(), 0);

    // With a name the same call connects; the one connection seen is this one.
    TestSettings::SetSetting("username", "x");
    l_server.Connect();
    QCOMPARE(l_connecting.count(), 1);
    QVERIFY(l_clients.wait());
    // Connecting again while connecting does nothing.
    l_server.Connect();
    QCOMPARE(l_connecting.count(), 1);
    QTRY_COMPARE(mp_harness->Central().ReceivedFrames(l_clients.at(0).at(0).toInt()).size(), 1);
    QCOMPARE(l_clients.count(), 1);
}

void TestServerLogin::onlyMissingSettingsGetDefaults()
{
    // A stored name without a password keeps its name and gets the default password.
    TestSettings::SetSetting("username", "carl");
    QSignalSpy l_clients(&mp_harness->Central(), &TestServer::ClientConnected);
    mp_harness->Client().Connect();
    QVERIFY(l_clients.wait());
    const int l_connection = l_clients.at(0).at(0).toInt();
    QTRY_COMPARE(mp_harness->Central().ReceivedFrames(l_connection).size(), 1);
    QCOMPARE(mp_harness->Central().ReceivedFrames(l_connection).at(0).body,
             LoginFields("carl", "QuartzFernDefault7"));
    QCOMPARE(TestSettings::Setting("username").AsString(), std::string("carl"));
    QCOMPARE(TestSettings::Setting("password").AsString(), std::string("QuartzFernDefault7"));

    // After loading: use_upnp defaults to "yes" only when it has no value.
    mp_harness->Reset();
    d.GetType("global")->GetItem("use_upnp")->Disconnect("global_value");
    dataSaver->EmitDataLoaded();
    QCOMPARE(TestSettings::Setting("use_upnp").AsString(), std::string("yes"));
    TestSettings::SetSetting("use_upnp", "no");
    mp_harness->Client().DataLoaded();
    QCOMPARE(TestSettings::Setting("use_upnp").AsString(), std::string("no"));
}

void TestServerLogin::loginRefused()
{
    Server& l_server = mp_harness->Client();
    const int l_connection = mp_harness->ConnectAndAwaitLogin("me", "wrong");
    QVERIFY(l_connection);
    QSignalSpy l_failed(&l_server, &Server::ConnectionFailed);
    QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
    QSignalSpy l_closed(&mp_harness->Central(), &TestServer::ClientDisconnected);
    // A frame in the same write after the refusal is not read: the connection has ended.
    mp_harness->Central().SendFrames(
        l_connection, {{1, WireWriter().WriteU8(0).WriteString("INVALIDPASS").Bytes()},
                       {7, UserStatusFields("late", 2)}});
    QVERIFY(l_failed.wait());
    QCOMPARE(l_failed.at(0).at(0).value<std::string>(), std::string("INVALIDPASS"));
    QVERIFY(l_closed.wait());
    QCOMPARE(l_disconnected.count(), 0);
    QVERIFY(!l_server.IsConnected());
    QVERIFY(!l_server.IsAbruptlyDisconnected());
    QVERIFY(!d.GetType("user")->HasItem("late"));

    // No reconnection follows a refusal.
    QSignalSpy l_connecting(&l_server, &Server::Connecting);
    l_server.AttemptReconnect();
    QCOMPARE(l_connecting.count(), 0);
}

void TestServerLogin::requestsWaitForTheLogin()
{
    Server& l_server = mp_harness->Client();
    const int l_connection = mp_harness->ConnectAndAwaitLogin("me", "secret");
    QVERIFY(l_connection);
    l_server.SendPrivateChat("bob", "too early");
    l_server.GetRoomList();
    l_server.SetWaitPort(1, 2);
    mp_harness->Central().SendFrame(l_connection, 1, ServerHarness::AcceptedLogin());
    QTRY_VERIFY(l_server.IsConnected());
    // Only the login, and the ports that the peer layer sends once logged in.
    QCOMPARE(Codes(mp_harness->SentFrames(l_connection)), QList<quint32>({1, 2}));
}

void TestServerLogin::loginReplyWhenLoggedInIgnored()
{
    Server& l_server = mp_harness->Client();
    const int l_connection = mp_harness->LogIn();
    QVERIFY(l_connection);
    QSignalSpy l_failed(&l_server, &Server::ConnectionFailed);
    QSignalSpy l_connected(&l_server, &Server::Connected);
    QVERIFY(mp_harness->Deliver(l_connection, 1,
                                WireWriter().WriteU8(0).WriteString("INVALIDPASS").Bytes()));
    QVERIFY(mp_harness->Deliver(l_connection, 1, ServerHarness::AcceptedLogin()));
    QCOMPARE(l_failed.count(), 0);
    QCOMPARE(l_connected.count(), 0);
    QVERIFY(l_server.IsConnected());
}

void TestServerLogin::nothingHandledWhenDisconnected()
{
    MemStream l_body;
    l_body.Write(std::string("dave"));
    l_body.Write(qint32(2));
    l_body.Write(quint8(1));
    const qint32 l_unread = l_body.GetPendingReadLength();
    mp_harness->Client().HandleMessage(7, l_body);
    QCOMPARE(l_body.GetPendingReadLength(), l_unread);
    QVERIFY(!d.GetType("user")->HasItem("dave"));
}

void TestServerLogin::reassemblyAcrossPiecesAndBursts()
{
    Server& l_server = mp_harness->Client();
    // A message before the login reply is handled like any other.
    const int l_connection = mp_harness->ConnectAndAwaitLogin("me", "secret");
    QVERIFY(l_connection);
    QVERIFY(mp_harness->Deliver(l_connection, 7, UserStatusFields("early", 2)));
    QVERIFY(IsOnline("early"));
    mp_harness->Central().SendFrame(l_connection, 1, ServerHarness::AcceptedLogin());
    QTRY_VERIFY(l_server.IsConnected());

    // The length word in two pieces of two bytes, the body in more.
    QSignalSpy l_pieces(&mp_harness->Central(), &TestServer::PiecesSent);
    mp_harness->Central().SendFrameInPieces(l_connection, 7, UserStatusFields("split", 1),
                                            {2, 2, 3, 5});
    QVERIFY(l_pieces.wait());
    QVERIFY(mp_harness->Deliver(l_connection, 7, UserStatusFields("after", 1)));
    QVERIFY(IsOnline("split"));

    // One byte at a time.
    const QByteArray l_frame = WireWriter::Frame(7, UserStatusFields("bytewise", 1));
    mp_harness->Central().SendRawInPieces(l_connection, l_frame, QList<int>(l_frame.size(), 1), 1);
    QVERIFY(l_pieces.wait());
    QVERIFY(mp_harness->Deliver(l_connection, 7, UserStatusFields("after", 1)));
    QVERIFY(IsOnline("bytewise"));

    // Several frames in one write are handled in order, whatever their sizes: a large one grows
    // the receive storage, and the small ones after it still come out whole.
    QList<int> l_order;
    QObject l_receiver;
    connect(&l_server, &Server::DNetParentMinSpeed, &l_receiver, [&](int) { l_order.append(83); });
    connect(&l_server, &Server::DNetParentSpeedConnectionRatio, &l_receiver,
            [&](int) { l_order.append(84); });
    connect(&l_server, &Server::WishListWait, &l_receiver, [&](unsigned) { l_order.append(104); });
    QList<QByteArray> l_many;
    for (int l_index = 0; l_index < 2000; ++l_index)
        l_many.append("privileged-" + QByteArray::number(l_index));
    QByteArray l_burst;
    l_burst += WireWriter::Frame(83, WireWriter().WriteI32(1).Bytes());
    l_burst += WireWriter::Frame(69, WireWriter().WriteStringList(l_many).Bytes());
    l_burst += WireWriter::Frame(84, WireWriter().WriteI32(2).Bytes());
    l_burst += WireWriter::Frame(104, WireWriter().WriteU32(3).Bytes());
    QVERIFY(mp_harness->DeliverRaw(l_connection, l_burst));
    QCOMPARE(l_order, QList<int>({83, 84, 104}));
    QCOMPARE(d.GetType("is_privileged")->GetItems().GetItems("user").size(), 2000u);
    QVERIFY(l_server.IsConnected());
}

void TestServerLogin::frameLengthLimits()
{
    Server& l_server = mp_harness->Client();
    int l_connection = mp_harness->LogIn();
    QVERIFY(l_connection);

    // The largest frame allowed is handled; bytes after the fields are ignored.
    QByteArray l_largest = WireWriter().WriteI32(77).Bytes();
    l_largest.resize(Server::MaxFrameLength - 4, '\0');
    QSignalSpy l_reports(&l_server, &Server::DNetDeliveryReport);
    const QByteArray l_frame = WireWriter::Frame(128, l_largest);
    l_largest.clear();
    // The buffer grows with the bytes that arrive, not with the length the header announces,
    // and a large frame's buffer is let go once it is handled.
    const qsizetype l_firstPart = 100000;
    mp_harness->Central().SendRaw(l_connection, l_frame.first(l_firstPart));
    QTRY_VERIFY(l_server.ReceiveBufferCapacity() >= l_firstPart - 8);
    QVERIFY(l_server.ReceiveBufferCapacity() < 1024 * 1024);
    QVERIFY(mp_harness->DeliverRaw(l_connection, l_frame.sliced(l_firstPart)));
    QCOMPARE(l_reports.at(0).at(0).toInt(), 77);
    QVERIFY(l_server.IsConnected());
    QVERIFY(l_server.ReceiveBufferCapacity() < 1024 * 1024);

    // Too long, or too short to hold a code: the connection goes as on a socket error.
    for (const quint32 l_length : {Server::MaxFrameLength + 1, 3u, 0u, 0xFFFFFFFFu})
    {
        QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
        QSignalSpy l_failed(&l_server, &Server::ConnectionFailed);
        QSignalSpy l_closed(&mp_harness->Central(), &TestServer::ClientDisconnected);
        mp_harness->Central().SendRaw(
            l_connection, WireWriter().WriteU32(l_length).WriteU32(128).WriteU32(1).Bytes());
        QVERIFY(l_disconnected.wait());
        QVERIFY(l_closed.count() || l_closed.wait());
        QCOMPARE(l_failed.count(), 0);
        QVERIFY(l_server.IsAbruptlyDisconnected());
        QVERIFY(
            mp_harness->LogLines(QStringLiteral("server"))
                .contains(QStringLiteral(
                              "Frame length %1 from the server refused, closing the connection.")
                              .arg(l_length)));

        // The usual reconnection follows on the next tick.
        QSignalSpy l_login(&mp_harness->Central(), &TestServer::FrameReceived);
        l_server.AttemptReconnect();
        QVERIFY(l_login.wait());
        l_connection = l_login.at(0).at(0).toInt();
        QCOMPARE(l_login.at(0).at(1).toUInt(), 1u);
        QVERIFY(!l_server.IsAbruptlyDisconnected());
        mp_harness->Central().SendFrame(l_connection, 1, ServerHarness::AcceptedLogin());
        QTRY_VERIFY(l_server.IsConnected());
    }
}

void TestServerLogin::frameLengthErrorWhileLoginPending()
{
    Server& l_server = mp_harness->Client();
    const int l_connection = mp_harness->ConnectAndAwaitLogin("me", "secret");
    QVERIFY(l_connection);
    QSignalSpy l_failed(&l_server, &Server::ConnectionFailed);
    QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
    mp_harness->Central().SendRaw(l_connection, WireWriter().WriteU32(2).WriteU16(0).Bytes());
    QVERIFY(l_disconnected.wait());
    QCOMPARE(l_failed.count(), 1);
    QCOMPARE(l_failed.at(0).at(0).value<std::string>(), std::string("socket error"));
    QVERIFY(!l_server.IsAbruptlyDisconnected());
}

void TestServerLogin::abruptLossAndReconnection()
{
    Server& l_server = mp_harness->Client();
    d.GetType("user")->GetItem("bob")->NewItem("is_tracked");
    int l_connection = mp_harness->LogIn();
    QVERIFY(l_connection);
    QVERIFY(mp_harness->Deliver(l_connection, 7, UserStatusFields("bob", 2)));
    QVERIFY(mp_harness->Deliver(l_connection, 7, UserStatusFields("eve", 1)));
    QVERIFY(IsOnline("bob") && IsOnline("eve"));
    mp_harness->SentFrames(l_connection);

    QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
    QSignalSpy l_failed(&l_server, &Server::ConnectionFailed);
    mp_harness->Central().DropConnection(l_connection);
    QVERIFY(l_disconnected.wait());
    QCOMPARE(l_failed.count(), 0);
    QVERIFY(l_server.IsAbruptlyDisconnected());
    QVERIFY(!IsOnline("bob") && !IsOnline("eve"));
    // Users, flags and everything else stay.
    QVERIFY(d.GetType("user")->HasItem("bob").HasItem("is_tracked"));

    QSignalSpy l_connecting(&l_server, &Server::Connecting);
    QSignalSpy l_frames(&mp_harness->Central(), &TestServer::FrameReceived);
    l_server.AttemptReconnect();
    QCOMPARE(l_connecting.count(), 1);
    QVERIFY(l_frames.wait());
    l_connection = l_frames.at(0).at(0).toInt();
    QVERIFY(!l_server.IsAbruptlyDisconnected());
    // A second tick while the login is pending does nothing.
    l_server.AttemptReconnect();
    QCOMPARE(l_connecting.count(), 1);
    mp_harness->Central().SendFrame(l_connection, 1, ServerHarness::AcceptedLogin());
    QTRY_VERIFY(l_server.IsConnected());
    QCOMPARE(Codes(mp_harness->SentFrames(l_connection)), QList<quint32>({1, 2, 5}));

    // Lost while the login is pending: ConnectionFailed, then Disconnected, and no reconnection.
    l_server.Disconnect();
    l_connection = mp_harness->ConnectAndAwaitLogin("me", "secret");
    QVERIFY(l_connection);
    l_failed.clear();
    l_disconnected.clear();
    mp_harness->Central().DropConnection(l_connection);
    QVERIFY(l_disconnected.wait());
    QCOMPARE(l_failed.count(), 1);
    QCOMPARE(l_failed.at(0).at(0).value<std::string>(), std::string("socket error"));
    l_connecting.clear();
    l_server.AttemptReconnect();
    QCOMPARE(l_connecting.count(), 0);
}

void TestServerLogin::partialFrameNotJoinedToNextConnection()
{
    Server& l_server = mp_harness->Client();
    int l_connection = mp_harness->LogIn();
    QVERIFY(l_connection);
    // A length word and part of the body, then the connection is lost.
    QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
    mp_harness->Central().SendRaw(l_connection,
                                  WireWriter().WriteU32(40).WriteU32(7).WriteU32(1).Bytes());
    mp_harness->Central().DropConnection(l_connection);
    QVERIFY(l_disconnected.wait());

    // The next connection's login reply is read from its own first byte.
    QSignalSpy l_frames(&mp_harness->Central(), &TestServer::FrameReceived);
    l_server.AttemptReconnect();
    QVERIFY(l_frames.wait());
    l_connection = l_frames.at(0).at(0).toInt();
    QSignalSpy l_connected(&l_server, &Server::Connected);
    mp_harness->Central().SendFrame(l_connection, 1, ServerHarness::AcceptedLogin());
    QVERIFY(l_connected.wait());
}

void TestServerLogin::userDisconnectDoesNotReconnect()
{
    Server& l_server = mp_harness->Client();
    const int l_connection = mp_harness->LogIn();
    QVERIFY(l_connection);
    QVERIFY(mp_harness->Deliver(l_connection, 7, UserStatusFields("bob", 2)));
    QSignalSpy l_disconnected(&l_server, &Server::Disconnected);
    QSignalSpy l_failed(&l_server, &Server::ConnectionFailed);
    QSignalSpy l_closed(&mp_harness->Central(), &TestServer::ClientDisconnected);
    l_server.Disconnect();
    QCOMPARE(l_disconnected.count(), 1);
    QVERIFY(!l_server.IsConnected());
    QVERIFY(!IsOnline("bob"));
    QVERIFY(l_closed.wait());
    QCOMPARE(l_disconnected.count(), 1);
    QCOMPARE(l_failed.count(), 0);
    QVERIFY(!l_server.IsAbruptlyDisconnected());

    QSignalSpy l_connecting(&l_server, &Server::Connecting);
    l_server.AttemptReconnect();
    QCOMPARE(l_connecting.count(), 0);
    // Disconnecting when not connected does nothing.
    l_server.Disconnect();
    QCOMPARE(l_disconnected.count(), 1);

    // The next connection logs in normally: the close of the last one is not taken for it.
    QVERIFY(mp_harness->LogIn());
}

void TestServerLogin::renewPortMapping()
{
    Server& l_server = mp_harness->Client();
    TestSettings::SetSetting("listening_port", 3000);
    TestSettings::SetSetting("obfuscated_listening_port", 0);
    TestSettings::SetSetting("use_upnp", "yes");
    l_server.RenewPortMapping();
    QVERIFY(mp_harness->LogLines(QStringLiteral("server")).isEmpty());

    TestSettings::SetSetting("use_upnp", "no");
    QVERIFY(mp_harness->LogIn());
    l_server.RenewPortMapping();
    QVERIFY(mp_harness->LogLines(QStringLiteral("server")).isEmpty());

    TestSettings::SetSetting("use_upnp", "yes");
    l_server.RenewPortMapping();
    QCOMPARE(mp_harness->LogLines(QStringLiteral("server")),
             QStringList({QStringLiteral("Renewing UPnP port mapping.")}));
    // Only the plain port: an obfuscated port of 0 is not mapped.
    QTRY_VERIFY_WITH_TIMEOUT(!mp_harness->LogLines(QStringLiteral("Port Forwarding"))
                                  .filter(QStringLiteral("Port 3000 "))
                                  .isEmpty(),
                             20000);
    QCOMPARE(mp_harness->LogLines(QStringLiteral("Port Forwarding"))
                 .filter(QStringLiteral("Found own address"))
                 .size(),
             1);
}

QTEST_GUILESS_MAIN(TestServerLogin)
#include "tst_server_login.moc"
