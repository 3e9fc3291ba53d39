// Peer sockets through real connections on 127.0.0.1: the listening ports, the first message of
// each kind of connection, plain and obfuscated frames checked byte for byte against an encoder
// written apart from the client, the frame length limit and the receive buffer that grows only
// with the bytes that came.
#include "Data.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "PeerObfuscation.h"
#include "TestObfuscation.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "WireWriter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <QRandomGenerator>
#include <QTest>

#include <cstdlib>
#include <memory>

namespace
{
constexpr int timeoutMs = 20000;

using Messages = TestPeerMessages;

QByteArray Bytes(std::initializer_list<int> i_bytes)
{
    QByteArray l_bytes;
    for (int l_byte : i_bytes)
        l_bytes.append(char(l_byte));
    return l_bytes;
}

QByteArray LittleEndian(quint32 i_value)
{
    return WireWriter().WriteU32(i_value).Bytes();
}

ItemPtr SocketItem(const char* ip_type, QTcpSocket* ip_socket)
{
    return d.GetType(ip_type)->HasItem(Value(ip_socket));
}

bool HasLine(const QStringList& i_lines, const QString& i_line)
{
    return i_lines.contains(i_line);
}
} // namespace

class TestPeerFraming : public QObject
{
    Q_OBJECT

    std::unique_ptr<PeerHarness> mp_harness;
    std::unique_ptr<TestPeer> mp_peer;

    PeerMessenger& Messenger() { return mp_harness->Messenger(); }

    // A messaging connection from the user; the client's socket of it.
    QTcpSocket* MessagingConnection(const QByteArray& i_user, bool i_obfuscated, int& o_connection)
    {
        o_connection = mp_harness->DialIn(*mp_peer, i_user, "P", i_obfuscated);
        return PeerHarness::SocketOf("peer_socket", i_user);
    }

    bool WaitForLine(const QString& i_line)
    {
        return QTest::qWaitFor([&] { return HasLine(mp_harness->PeerLinesSinceMark(), i_line); },
                               timeoutMs);
    }

private slots:
    void initTestCase() { mp_harness = std::make_unique<PeerHarness>(); }

    void init()
    {
        mp_peer = std::make_unique<TestPeer>();
        QVERIFY(mp_peer->Listen());
        mp_harness->Mark();
    }

    void cleanup()
    {
        mp_peer.reset();
        mp_harness->ResetPeers();
    }

    void cleanupTestCase() { mp_harness.reset(); }

    void transformMatchesIndependentEncoder()
    {
        QRandomGenerator l_random(7);
        for (qsizetype l_length : {0, 1, 3, 4, 5, 127, 128, 129, 255, 256, 257, 1000, 4099})
        {
            QByteArray l_plain(l_length, Qt::Uninitialized);
            for (char& l_byte : l_plain)
                l_byte = char(l_random.bounded(256));
            const quint32 l_key = l_random.generate();

            QByteArray l_transformed = l_plain;
            PeerObfuscation::Transform(l_transformed.data(), l_length, l_key);
            QCOMPARE(l_transformed, TestObfuscation::Transform(l_plain, l_key));
            PeerObfuscation::Transform(l_transformed.data(), l_length, l_key);
            QCOMPARE(l_transformed, l_plain);

            QCOMPARE(PeerObfuscation::Frame(l_plain.constData(), l_length, true, l_key),
                     Messages::ObfuscatedFrame(l_plain, l_key));
            QCOMPARE(PeerObfuscation::Frame(l_plain.constData(), l_length, false, 0),
                     Messages::Frame(l_plain));
        }
    }

    // The code 4 alone with key 0x12345678: the length is XORed with the key rotated once
    // (0x2468acf0), the body with the key rotated twice (0x48d159e0), low byte first.
    void workedExampleByteForByte()
    {
        const QByteArray l_expected =
            Bytes({0x78, 0x56, 0x34, 0x12, 0xf4, 0xac, 0x68, 0x24, 0xe4, 0x59, 0xd1, 0x48});
        const QByteArray l_body = Bytes({4, 0, 0, 0});
        QCOMPARE(PeerObfuscation::Frame(l_body.constData(), 4, true, 0x12345678), l_expected);

        // The client reads that very frame: a request for the share list, answered.
        int l_connection = 0;
        QVERIFY(MessagingConnection("bob", true, l_connection));
        mp_peer->SendRaw(l_connection, l_expected);
        QVERIFY(mp_peer->WaitForFrames(l_connection, 1));
        const TestPeer::Frame l_reply = mp_peer->Frames(l_connection).first();
        QCOMPARE(l_reply.code, 5u);
        QVERIFY(l_reply.obfuscated);
        QCOMPARE(l_reply.wire,
                 TestObfuscation::Obfuscate(Messages::Frame(l_reply.body), l_reply.key));
    }

    void keysComeFromRand()
    {
        std::srand(5);
        quint32 l_expected = 0;
        for (int l_call = 0; l_call < 4; ++l_call)
            l_expected = (l_expected << 8) | (quint32(std::rand()) & 0xff);
        std::srand(5);
        QCOMPARE(PeerObfuscation::NewKey(), l_expected);
    }

    void acceptedSocketsAreRecordedWithKeepAlive()
    {
        mp_peer->Dial(Messenger().ListeningPort(), false);
        mp_peer->Dial(Messenger().ObfuscatedListeningPort(), true);
        Type* lp_type = d.GetType("uninitialized_socket");
        QTRY_COMPARE_WITH_TIMEOUT(lp_type->ItemCount(), std::size_t(2), timeoutMs);
        int l_flagged = 0;
        for (Item* lp_item : lp_type->GetItems())
        {
            l_flagged += ItemPtr(lp_item).IsConnected("is_obfuscated") ? 1 : 0;
            QTcpSocket* lp_socket = ItemPtr(lp_item).AsPtr<QTcpSocket>();
            QCOMPARE(lp_socket->socketOption(QAbstractSocket::KeepAliveOption).toInt(), 1);
            QVERIFY(lp_socket->parent() == nullptr);
        }
        QCOMPARE(l_flagged, 1);
    }

    void messagingConnection_data()
    {
        QTest::addColumn<bool>("obfuscated");
        QTest::newRow("plain") << false;
        QTest::newRow("obfuscated") << true;
    }

    void messagingConnection()
    {
        QFETCH(bool, obfuscated);
        const QString l_word = obfuscated ? QStringLiteral("obfuscated ") : QString();
        int l_connection = 0;
        QTcpSocket* lp_socket = MessagingConnection("bob", obfuscated, l_connection);
        QVERIFY(lp_socket);
        ItemPtr l_item = SocketItem("peer_socket", lp_socket);
        QCOMPARE(l_item["user"].AsString(), std::string("bob"));
        QCOMPARE(l_item.IsConnected("is_obfuscated"), obfuscated);
        QVERIFY(l_item["last_activity_time"].AsPtr<QDateTime>() != nullptr);
        const QDateTime l_opened = QDateTime::fromString(
            QString::fromStdString(l_item["connection_open_time"].AsString()), Qt::TextDate);
        QVERIFY(qAbs(l_opened.secsTo(QDateTime::currentDateTime())) < 60);
        QVERIFY(!SocketItem("uninitialized_socket", lp_socket));
        const QStringList l_lines = mp_harness->PeerLinesSinceMark();
        QVERIFY(HasLine(l_lines,
                        QStringLiteral("Accepted %1messaging connection to user bob").arg(l_word)));
        QVERIFY(HasLine(
            l_lines,
            QStringLiteral("Peer %1connection of type P opened from user bob").arg(l_word)));

        // What the client sends on it is framed as the connection is, with a fresh key.
        Messenger().GetUserSharedFiles("bob");
        Messenger().GetUserSharedFiles("bob");
        QVERIFY(mp_peer->WaitForFrames(l_connection, 2));
        const QList<TestPeer::Frame> l_frames = mp_peer->Frames(l_connection);
        for (const TestPeer::Frame& l_frame : l_frames)
        {
            QCOMPARE(l_frame.body, Messages::GetSharedFileList());
            QCOMPARE(l_frame.obfuscated, obfuscated);
            QCOMPARE(l_frame.wire, obfuscated ? TestObfuscation::Obfuscate(
                                                    Messages::Frame(l_frame.body), l_frame.key)
                                              : Messages::Frame(l_frame.body));
        }
    }

    void fileConnectionTakesTheRawToken_data() { messagingConnection_data(); }

    void fileConnectionTakesTheRawToken()
    {
        QFETCH(bool, obfuscated);
        std::string l_user;
        QPointer<QTcpSocket> lp_socket;
        quint32 l_token = 0;
        connect(&Messenger(), &PeerMessenger::FileConnectionRequested, this,
                [&](std::string i_user, QTcpSocket* ip_socket, uint i_token)
                {
                    l_user = i_user;
                    lp_socket = ip_socket;
                    l_token = i_token;
                });
        const int l_connection = mp_peer->Dial(obfuscated ? Messenger().ObfuscatedListeningPort()
                                                          : Messenger().ListeningPort(),
                                               obfuscated);
        // First message, token and more, in one write; the token is never obfuscated.
        const QByteArray l_init = Messages::PeerInit("fred", "F");
        const QByteArray l_rest = QByteArrayLiteral("rest");
        mp_peer->SendRaw(l_connection, (obfuscated ? Messages::ObfuscatedFrame(l_init, 0xdeadbeef)
                                                   : Messages::Frame(l_init)) +
                                           LittleEndian(0x01020304) + l_rest);
        QTRY_VERIFY_WITH_TIMEOUT(lp_socket, timeoutMs);
        QCOMPARE(l_user, std::string("fred"));
        QCOMPARE(l_token, 0x01020304u);
        QTRY_COMPARE_WITH_TIMEOUT(lp_socket->bytesAvailable(), qint64(l_rest.size()), timeoutMs);
        QCOMPARE(lp_socket->readAll(), l_rest);
        QCOMPARE(Messenger().ReceiveBufferCapacity(lp_socket), qint64(-1));
        QVERIFY(HasLine(mp_harness->PeerLinesSinceMark(),
                        QStringLiteral("Accepted %1file connection to user fred")
                            .arg(obfuscated ? QStringLiteral("obfuscated ") : QString())));
        disconnect(&Messenger(), &PeerMessenger::FileConnectionRequested, this, nullptr);
        lp_socket->deleteLater();
    }

    void distributedConnectionKeepsItsBytes()
    {
        QPointer<QTcpSocket> lp_socket;
        connect(&Messenger(), &PeerMessenger::DNetConnectionRequested, this,
                [&](std::string i_user, QTcpSocket* ip_socket)
                {
                    QCOMPARE(i_user, std::string("dora"));
                    lp_socket = ip_socket;
                });
        const int l_connection = mp_peer->Dial(Messenger().ListeningPort(), false);
        const QByteArray l_next = Messages::Frame(Messages::DistributedLevel(3));
        mp_peer->SendRaw(l_connection, Messages::Frame(Messages::PeerInit("dora", "D")) + l_next);
        QTRY_VERIFY_WITH_TIMEOUT(lp_socket, timeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(lp_socket->bytesAvailable(), qint64(l_next.size()), timeoutMs);
        QCOMPARE(lp_socket->readAll(), l_next);
        QVERIFY(!SocketItem("uninitialized_socket", lp_socket));
        QVERIFY(!SocketItem("peer_socket", lp_socket));
        disconnect(&Messenger(), &PeerMessenger::DNetConnectionRequested, this, nullptr);
        lp_socket->deleteLater();
    }

    void badFirstMessagesCloseTheConnection_data()
    {
        QTest::addColumn<bool>("obfuscated");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("lines");
        const QString l_failure =
            QStringLiteral("Failure initializing %1peer connection, disposing of socket");
        for (bool l_obfuscated : {false, true})
        {
            const QString l_word = l_obfuscated ? QStringLiteral("obfuscated ") : QString();
            const QByteArray l_suffix = l_obfuscated ? " obfuscated" : " plain";
            QTest::newRow(("empty" + l_suffix).constData())
                << l_obfuscated << QByteArray()
                << QStringList{QStringLiteral("Failed to read direction from new %1peer connection")
                                   .arg(l_word),
                               l_failure.arg(l_word)};
            QTest::newRow(("token cut short" + l_suffix).constData())
                << l_obfuscated << Bytes({0, 1, 2})
                << QStringList{QStringLiteral("Failed to read req from %1indirect peer connection")
                                   .arg(l_word),
                               l_failure.arg(l_word)};
            QTest::newRow(("unknown token" + l_suffix).constData())
                << l_obfuscated << Messages::PierceFirewall(999999)
                << QStringList{QStringLiteral("Req sent on %1indirect peer connection not found")
                                   .arg(l_word),
                               l_failure.arg(l_word)};
            QTest::newRow(("unknown type" + l_suffix).constData())
                << l_obfuscated << Messages::PeerInit("bob", "X")
                << QStringList{QStringLiteral("Peer %1connection of type X opened from user bob")
                                   .arg(l_word),
                               l_failure.arg(l_word)};
            QTest::newRow(("no trailing word" + l_suffix).constData())
                << l_obfuscated << Messages::PeerInit("bob", "P").chopped(4)
                << QStringList{l_failure.arg(l_word)};
        }
    }

    void badFirstMessagesCloseTheConnection()
    {
        QFETCH(bool, obfuscated);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, lines);
        const int l_connection = mp_peer->Dial(obfuscated ? Messenger().ObfuscatedListeningPort()
                                                          : Messenger().ListeningPort(),
                                               obfuscated);
        mp_peer->SendBody(l_connection, body);
        QVERIFY(mp_peer->WaitForDisconnected(l_connection));
        const QStringList l_lines = mp_harness->PeerLinesSinceMark();
        for (const QString& l_line : lines)
            QVERIFY2(HasLine(l_lines, l_line), qPrintable(l_line));
        QVERIFY(l_lines.indexOf(lines.first()) < l_lines.indexOf(lines.last()) ||
                lines.size() == 1);
        QCOMPARE(d.GetType("peer_socket")->ItemCount(), std::size_t(0));
        QTRY_COMPARE_WITH_TIMEOUT(d.GetType("uninitialized_socket")->ItemCount(), std::size_t(0),
                                  timeoutMs);
    }

    void frameLengthLimit_data() { messagingConnection_data(); }

    void frameLengthLimit()
    {
        QFETCH(bool, obfuscated);
        int l_connection = 0;
        QVERIFY(MessagingConnection("bob", obfuscated, l_connection));
        QByteArray l_body = Messages::Message(52, QByteArray());
        l_body.append(QByteArray(qsizetype(PeerMessenger::MaxFrameLength) - l_body.size(), 'z'));
        mp_peer->SendBody(l_connection, l_body);
        QVERIFY(WaitForLine(QStringLiteral("Received PM_NOTHING message from user bob")));
        QVERIFY(mp_peer->IsOpen(l_connection));

        // One byte more ends the connection before any of the body is taken.
        mp_peer->SendRaw(
            l_connection,
            obfuscated ? Messages::ObfuscatedFrameHeader(PeerMessenger::MaxFrameLength + 1, 99)
                       : Messages::FrameHeader(PeerMessenger::MaxFrameLength + 1));
        QVERIFY(mp_peer->WaitForDisconnected(l_connection));
        QTRY_COMPARE_WITH_TIMEOUT(d.GetType("peer_socket")->ItemCount(), std::size_t(0), timeoutMs);
    }

    void receiveBufferGrowsWithTheBytes()
    {
        int l_connection = 0;
        QTcpSocket* lp_socket = MessagingConnection("bob", false, l_connection);
        QVERIFY(lp_socket);
        // A header that promises the largest frame, and 9 bytes of it.
        mp_peer->SendRaw(l_connection, Messages::FrameHeader(PeerMessenger::MaxFrameLength) +
                                           Messages::Message(52, QByteArrayLiteral("abcde")));
        QTRY_VERIFY_WITH_TIMEOUT(Messenger().ReceiveBufferCapacity(lp_socket) != -1, timeoutMs);
        QVERIFY(Messenger().ReceiveBufferCapacity(lp_socket) <= 65536);

        const qsizetype l_megabyte = 1024 * 1024;
        mp_peer->SendRaw(l_connection, QByteArray(l_megabyte, 'm'));
        QTRY_VERIFY_WITH_TIMEOUT(Messenger().ReceiveBufferCapacity(lp_socket) >= l_megabyte,
                                 timeoutMs);
        QVERIFY(Messenger().ReceiveBufferCapacity(lp_socket) <= 2 * l_megabyte + 65536);

        mp_peer->SendRaw(
            l_connection,
            QByteArray(qsizetype(PeerMessenger::MaxFrameLength) - l_megabyte - 9, 'r'));
        QVERIFY(WaitForLine(QStringLiteral("Received PM_NOTHING message from user bob")));
        // The buffer of a large frame is let go once the frame is handled.
        QCOMPARE(Messenger().ReceiveBufferCapacity(lp_socket), qint64(256));
        QVERIFY(mp_peer->IsOpen(l_connection));
    }

    void framesTogetherAndInPieces()
    {
        QStringList l_files;
        connect(&Messenger(), &PeerMessenger::UploadFailed, this,
                [&](std::string, std::string i_file)
                { l_files.append(QString::fromStdString(i_file)); });
        int l_connection = 0;
        QVERIFY(MessagingConnection("bob", true, l_connection));
        QByteArray l_three;
        for (const char* lp_file : {"one", "two", "three"})
            l_three += Messages::ObfuscatedFrame(Messages::UploadFailed(lp_file), 0x0badf00d);
        mp_peer->SendRaw(l_connection, l_three);
        QTRY_COMPARE_WITH_TIMEOUT(l_files.size(), 3, timeoutMs);
        QCOMPARE(l_files, (QStringList{QStringLiteral("one"), QStringLiteral("two"),
                                       QStringLiteral("three")}));

        // A frame whose bytes come one write at a time is handled once, when complete.
        const QByteArray l_frame =
            Messages::ObfuscatedFrame(Messages::UploadFailed("four"), 0x600dcafe);
        for (qsizetype l_index = 0; l_index < l_frame.size(); ++l_index)
        {
            QCOMPARE(l_files.size(), 3);
            mp_peer->SendRaw(l_connection, l_frame.mid(l_index, 1));
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE_WITH_TIMEOUT(l_files.size(), 4, timeoutMs);
        QCOMPARE(l_files.last(), QStringLiteral("four"));
        disconnect(&Messenger(), &PeerMessenger::UploadFailed, this, nullptr);
    }

    void disposingAnUnknownSocketForgetsItsState()
    {
        const int l_connection = mp_peer->Dial(Messenger().ListeningPort(), false);
        Type* lp_type = d.GetType("uninitialized_socket");
        QTRY_COMPARE_WITH_TIMEOUT(lp_type->ItemCount(), std::size_t(1), timeoutMs);
        QPointer<QTcpSocket> lp_socket = ItemPtr(lp_type->GetItems().front()).AsPtr<QTcpSocket>();
        // A file connection that still owes its token has reading state and no item.
        mp_peer->SendPeerInit(l_connection, "fred", "F");
        QTRY_COMPARE_WITH_TIMEOUT(lp_type->ItemCount(), std::size_t(0), timeoutMs);
        QVERIFY(Messenger().ReceiveBufferCapacity(lp_socket) != -1);

        mp_harness->Mark();
        Messenger().DisposeOfSocket(lp_socket);
        QCOMPARE(mp_harness->PeerLinesSinceMark(),
                 (QStringList{QStringLiteral("Disposing of socket"),
                              QStringLiteral("Socket not identified")}));
        QCOMPARE(Messenger().ReceiveBufferCapacity(lp_socket), qint64(-1));
        QVERIFY(mp_peer->WaitForDisconnected(l_connection));
        QTRY_VERIFY_WITH_TIMEOUT(lp_socket.isNull(), timeoutMs);
    }

    // Last: it listens elsewhere for a moment. An address that is not this machine's makes
    // listening fail, so the settings are applied without binding the fixed ports.
    void listeningPortSettings()
    {
        Type* lp_settings = d.GetType("global");
        lp_settings->HasItem("listening_port").Remove();
        lp_settings->HasItem("obfuscated_listening_port").Remove();
        Messenger().SetListeningAddress(QHostAddress(QStringLiteral("192.0.2.1")));
        Messenger().DataLoaded();
        QCOMPARE(TestSettings::Setting("listening_port").AsString(), std::string("2235"));
        QCOMPARE(TestSettings::Setting("obfuscated_listening_port").AsString(),
                 std::string("2236"));
        QCOMPARE(Messenger().ListeningPort(), quint16(0));

        TestSettings::SetSetting("new_listening_port", "5000");
        Messenger().DataLoaded();
        QCOMPARE(TestSettings::Setting("listening_port").AsString(), std::string("5000"));
        QCOMPARE(TestSettings::Setting("obfuscated_listening_port").AsString(),
                 std::string("5001"));
        QVERIFY(!lp_settings->HasItem("new_listening_port"));

        // Back on free ports of 127.0.0.1, and the server told.
        TestSettings::SetSetting("listening_port", 0);
        TestSettings::SetSetting("obfuscated_listening_port", 0);
        Messenger().SetListeningAddress(QHostAddress(QHostAddress::LocalHost));
        Messenger().DataLoaded();
        QVERIFY(Messenger().ListeningPort() != 0);
        QVERIFY(Messenger().ObfuscatedListeningPort() != 0);
        TestSettings::SetSetting("listening_port", int(Messenger().ListeningPort()));
        TestSettings::SetSetting("obfuscated_listening_port",
                                 int(Messenger().ObfuscatedListeningPort()));
        Messenger().OnConnectedToServer();
        int l_connection = 0;
        QVERIFY(MessagingConnection("bob", true, l_connection));
    }
};

QTEST_GUILESS_MAIN(TestPeerFraming)
#include "tst_peer_framing.moc"
