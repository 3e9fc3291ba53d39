#include "TestObfuscation.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "WireReader.h"

#include <QSignalSpy>
#include <QTest>

namespace
{
QByteArray Hex(const char* ip_hex)
{
    return QByteArray::fromHex(QByteArray(ip_hex));
}

// Two peers, one listening, the other connected to its plain or obfuscated port and past its
// first message.
struct Pair
{
    TestPeer listener;
    TestPeer dialer;
    int outgoing = -1;
    int incoming = -1;

    bool Open(bool i_obfuscated, const QByteArray& i_type = "P")
    {
        if (!listener.Listen())
            return false;
        outgoing = dialer.Dial(i_obfuscated ? listener.ObfuscatedPort() : listener.PlainPort(),
                               i_obfuscated);
        if (!dialer.WaitForConnected(outgoing))
            return false;
        dialer.SendPeerInit(outgoing, "bob", i_type);
        incoming = listener.NextIncoming();
        return incoming > 0 && listener.WaitForFirstMessage(incoming);
    }
};
} // namespace

class TestTestPeer : public QObject
{
    Q_OBJECT

private slots:
    void obfuscationVectors_data();
    void obfuscationVectors();
    void recordAndDistributedLayouts();
    void zlibStreams();
    void firstMessageAndFrames_data();
    void firstMessageAndFrames();
    void firstMessageParsing_data();
    void firstMessageParsing();
    void pierceFirewallThenDistributedFrames_data();
    void pierceFirewallThenDistributedFrames();
    void fileTokenIsRawEvenWhenObfuscated();
    void partialFrames_data();
    void partialFrames();
    void frameLengthLimit_data();
    void frameLengthLimit();
    void compressedBodyThroughSocket();
    void closeAndRefusedDial();
};

void TestTestPeer::obfuscationVectors_data()
{
    QTest::addColumn<quint32>("key");
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("wire");

    // Code 4 alone: the length is XORed with K rotated once, the code with K rotated twice.
    // 0x80000000 rotates to 1, then 2: the top bit comes round to the bottom.
    QTest::newRow("top bit wraps") << quint32(0x80000000)
                                   << Hex("04000000"
                                          "04000000")
                                   << Hex("00000080"
                                          "05000000"
                                          "06000000");
    // 0x12345678 rotates to 0x2468ACF0, then 0x48D159E0; byte 0 is the least significant.
    QTest::newRow("code 4 alone") << quint32(0x12345678)
                                  << Hex("04000000"
                                         "04000000")
                                  << Hex("78563412"
                                         "f4ac6824"
                                         "e459d148");
    // Code 43 with the file "ab": four rotations (0x436587A9, 0x86CB0F52, 0x0D961EA5,
    // 0x1B2C3D4A) and a last word of two bytes.
    QTest::newRow("partial last word") << quint32(0xA1B2C3D4)
                                       << Hex("0a000000"
                                              "2b000000"
                                              "02000000"
                                              "6162")
                                       << Hex("d4c3b2a1"
                                              "a3876543"
                                              "790fcb86"
                                              "a71e960d"
                                              "2b5f");
}

void TestTestPeer::obfuscationVectors()
{
    QFETCH(quint32, key);
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, wire);

    QCOMPARE(TestObfuscation::Obfuscate(plain, key), wire);
    QCOMPARE(TestObfuscation::KeyOf(wire), key);
    QCOMPARE(TestObfuscation::Deobfuscate(wire), plain);
    QCOMPARE(TestPeerMessages::ObfuscatedFrame(plain.mid(4), key), wire);
}

void TestTestPeer::recordAndDistributedLayouts()
{
    TestPeerMessages::File l_file;
    l_file.name = "a\\b";
    l_file.size = Q_UINT64_C(0x0102030405060708);
    l_file.extension = "mp3";
    l_file.attributes = {{0, 320}, {1, 200}};
    QCOMPARE(TestPeerMessages::FileRecord(l_file), Hex("01"
                                                       "03000000"
                                                       "615c62"
                                                       "0807060504030201"
                                                       "03000000"
                                                       "6d7033"
                                                       "02000000"
                                                       "00000000"
                                                       "40010000"
                                                       "01000000"
                                                       "c8000000"));

    QCOMPARE(TestPeerMessages::PeerInit("ab", "D"), Hex("01"
                                                        "02000000"
                                                        "6162"
                                                        "01000000"
                                                        "44"
                                                        "00000000"));
    QCOMPARE(TestPeerMessages::PierceFirewall(0x01020304), Hex("00"
                                                               "04030201"));
    QCOMPARE(TestPeerMessages::TransferAllowed(7, std::nullopt), Hex("29000000"
                                                                     "07000000"
                                                                     "01"));

    // The worked distributed frames: the level 2 and the group leader "ab".
    QCOMPARE(TestPeerMessages::Frame(TestPeerMessages::DistributedLevel(2)), Hex("05000000"
                                                                                 "04"
                                                                                 "02000000"));
    QCOMPARE(TestPeerMessages::Frame(TestPeerMessages::DistributedGroupLeader("ab")), Hex("07000000"
                                                                                          "05"
                                                                                          "02000000"
                                                                                          "6162"));
    QCOMPARE(TestPeerMessages::DistributedSearch("u", 9, "x y"), Hex("03"
                                                                     "31000000"
                                                                     "01000000"
                                                                     "75"
                                                                     "09000000"
                                                                     "03000000"
                                                                     "782079"));
    QCOMPARE(TestPeerMessages::DistributedLevel(-1), Hex("04"
                                                         "ffffffff"));
}

void TestTestPeer::zlibStreams()
{
    const QByteArray l_content = TestPeerMessages::SearchReplyContent(
        "bob", 42, {{"music\\song.mp3", 1234, "mp3", {{0, 192}}}}, 1, 500, 3, {{1, "one"}});
    const QByteArray l_stream = TestPeerMessages::Compress(l_content);
    QCOMPARE(l_stream.left(2), Hex("78da")); // level 9 header
    QCOMPARE(TestPeerMessages::Inflate(l_stream, 1 << 20), std::optional<QByteArray>(l_content));
    QCOMPARE(TestPeerMessages::Inflate(l_stream, l_content.size()),
             std::optional<QByteArray>(l_content));
    QVERIFY(!TestPeerMessages::Inflate(l_stream, l_content.size() - 1));
    QVERIFY(!TestPeerMessages::Inflate(l_stream.left(l_stream.size() - 5), 1 << 20));
    QVERIFY(!TestPeerMessages::Inflate("not a zlib stream", 1 << 20));
    QVERIFY(!TestPeerMessages::Inflate(QByteArray(), 1 << 20));

    const QByteArray l_message = TestPeerMessages::FileSearchResult(l_content);
    QCOMPARE(l_message.left(4), Hex("09000000"));
    QCOMPARE(l_message.mid(4), l_stream);

    const qsizetype l_zeros = 3 * 1024 * 1024;
    const QByteArray l_bomb = TestPeerMessages::CompressedZeros(quint64(l_zeros));
    QVERIFY(l_bomb.size() < 16 * 1024);
    QCOMPARE(TestPeerMessages::Inflate(l_bomb, l_zeros),
             std::optional<QByteArray>(QByteArray(l_zeros, '\0')));
    QVERIFY(!TestPeerMessages::Inflate(l_bomb, l_zeros - 1));
    QCOMPARE(TestPeerMessages::Inflate(TestPeerMessages::CompressedZeros(0), 0),
             std::optional<QByteArray>(QByteArray()));
}

void TestTestPeer::firstMessageAndFrames_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain") << false;
    QTest::newRow("obfuscated") << true;
}

void TestTestPeer::firstMessageAndFrames()
{
    QFETCH(bool, obfuscated);
    Pair l_pair;
    QVERIFY(l_pair.Open(obfuscated));
    TestPeer& l_listener = l_pair.listener;
    TestPeer& l_dialer = l_pair.dialer;

    QCOMPARE(l_listener.IsIncoming(l_pair.incoming), true);
    QCOMPARE(l_listener.IsObfuscated(l_pair.incoming), obfuscated);
    const TestPeer::FirstMessage l_first = l_listener.ReceivedFirstMessage(l_pair.incoming);
    QVERIFY(l_first.valid);
    QCOMPARE(l_first.direction, quint8(1));
    QCOMPARE(l_first.user, QByteArray("bob"));
    QCOMPARE(l_first.type, QByteArray("P"));
    QCOMPARE(l_first.value, quint32(0));
    QCOMPARE(l_listener.GetMode(l_pair.incoming), TestPeer::Mode::Peer);
    const QByteArray l_firstWire = l_listener.Wire(l_pair.incoming);
    const QByteArray l_init = TestPeerMessages::PeerInit("bob", "P");
    QCOMPARE(l_firstWire, obfuscated ? TestPeerMessages::ObfuscatedFrame(
                                           l_init, TestObfuscation::KeyOf(l_firstWire))
                                     : TestPeerMessages::Frame(l_init));

    // Both ways, with codes and fields as sent.
    QSignalSpy l_toListener(&l_listener, &TestPeer::FrameReceived);
    QSignalSpy l_toDialer(&l_dialer, &TestPeer::FrameReceived);
    l_dialer.SendBody(l_pair.outgoing, TestPeerMessages::QueueUpload("dir\\song.mp3"));
    l_listener.SendBody(l_pair.incoming, TestPeerMessages::UploadPlaceInLine("dir\\song.mp3", 3));
    QVERIFY(l_listener.WaitForFrames(l_pair.incoming, 1));
    QVERIFY(l_dialer.WaitForFrames(l_pair.outgoing, 1));
    QCOMPARE(l_toListener.count(), 1);
    QCOMPARE(l_toListener.at(0).at(1).value<quint32>(), quint32(43));
    QCOMPARE(l_toListener.at(0).at(2).toByteArray(), Hex("0c000000") + "dir\\song.mp3");
    QCOMPARE(l_toDialer.count(), 1);
    const TestPeer::Frame l_reply = l_dialer.Frames(l_pair.outgoing).at(0);
    QVERIFY(l_reply.hasCode);
    QCOMPARE(l_reply.code, quint32(44));
    QCOMPARE(l_reply.obfuscated, obfuscated);
    QCOMPARE(l_reply.body, TestPeerMessages::UploadPlaceInLine("dir\\song.mp3", 3));

    // A chosen key, byte for byte; two frames in one write arrive as two records, in order.
    const QByteArray l_second = TestPeerMessages::Message(52, QByteArray());
    const QByteArray l_third = TestPeerMessages::UploadFailed("x");
    if (obfuscated)
    {
        l_dialer.SendBodyWithKey(l_pair.outgoing, l_second, 0x12345678);
        l_dialer.SendRaw(l_pair.outgoing,
                         TestPeerMessages::ObfuscatedFrame(l_third, 0) +
                             TestPeerMessages::ObfuscatedFrame(l_third, 0xFFFFFFFF));
    }
    else
    {
        l_dialer.SendPlainBody(l_pair.outgoing, l_second);
        l_dialer.SendRaw(l_pair.outgoing,
                         TestPeerMessages::Frame(l_third) + TestPeerMessages::Frame(l_third));
    }
    QVERIFY(l_listener.WaitForFrames(l_pair.incoming, 4));
    const QList<TestPeer::Frame> l_frames = l_listener.Frames(l_pair.incoming);
    QCOMPARE(l_frames.size(), 4);
    QCOMPARE(l_frames.at(1).code, quint32(52));
    QVERIFY(l_frames.at(1).fields.isEmpty());
    QCOMPARE(l_frames.at(1).wire, obfuscated
                                      ? TestPeerMessages::ObfuscatedFrame(l_second, 0x12345678)
                                      : TestPeerMessages::Frame(l_second));
    QCOMPARE(l_frames.at(1).key, obfuscated ? quint32(0x12345678) : quint32(0));
    QCOMPARE(l_frames.at(2).body, l_third);
    QCOMPARE(l_frames.at(3).body, l_third);
    QCOMPARE(l_frames.at(3).key, obfuscated ? quint32(0xFFFFFFFF) : quint32(0));
    QVERIFY(l_listener.Unparsed(l_pair.incoming).isEmpty());
    QVERIFY(l_listener.ProtocolErrors(l_pair.incoming).isEmpty());
}

void TestTestPeer::firstMessageParsing_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint8>("direction");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<quint32>("value");
    QTest::addColumn<TestPeer::Mode>("mode");

    QTest::newRow("distributed init")
        << TestPeerMessages::PeerInit("carol", "D", 5) << true << quint8(1) << QByteArray("D")
        << quint32(5) << TestPeer::Mode::Distributed;
    QTest::newRow("file init") << TestPeerMessages::PeerInit("carol", "F") << true << quint8(1)
                               << QByteArray("F") << quint32(0) << TestPeer::Mode::Raw;
    QTest::newRow("expected pierce") << TestPeerMessages::PierceFirewall(900) << true << quint8(0)
                                     << QByteArray() << quint32(900) << TestPeer::Mode::Raw;
    QTest::newRow("unknown pierce") << TestPeerMessages::PierceFirewall(901) << true << quint8(0)
                                    << QByteArray() << quint32(901) << TestPeer::Mode::Peer;
    QTest::newRow("init with a byte more")
        << TestPeerMessages::PeerInit("carol", "P") + '\0' << false << quint8(1) << QByteArray("P")
        << quint32(0) << TestPeer::Mode::Peer;
    QTest::newRow("short pierce") << Hex("00"
                                         "010203")
                                  << false << quint8(0) << QByteArray() << quint32(0)
                                  << TestPeer::Mode::Peer;
    QTest::newRow("direction 2") << Hex("02"
                                        "00000000"
                                        "00000000"
                                        "00000000")
                                 << false << quint8(2) << QByteArray() << quint32(0)
                                 << TestPeer::Mode::Peer;
}

void TestTestPeer::firstMessageParsing()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, valid);
    QFETCH(quint8, direction);
    QFETCH(QByteArray, type);
    QFETCH(quint32, value);
    QFETCH(TestPeer::Mode, mode);

    TestPeer l_listener;
    TestPeer l_dialer;
    QVERIFY(l_listener.Listen());
    l_listener.ExpectPierceFirewall(900, "F");
    const int l_outgoing = l_dialer.Dial(l_listener.PlainPort(), false);
    l_dialer.SendBody(l_outgoing, body);
    const int l_incoming = l_listener.NextIncoming();
    QVERIFY(l_incoming > 0);
    QVERIFY(l_listener.WaitForFirstMessage(l_incoming));

    const TestPeer::FirstMessage l_first = l_listener.ReceivedFirstMessage(l_incoming);
    QCOMPARE(l_first.body, body);
    QCOMPARE(l_first.valid, valid);
    QCOMPARE(l_first.direction, direction);
    QCOMPARE(l_first.type, type);
    QCOMPARE(l_first.value, value);
    QCOMPARE(l_listener.GetMode(l_incoming), mode);
    QCOMPARE(l_listener.ProtocolErrors(l_incoming).isEmpty(), valid);
}

void TestTestPeer::pierceFirewallThenDistributedFrames_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain port") << false;
    QTest::newRow("obfuscated port") << true;
}

void TestTestPeer::pierceFirewallThenDistributedFrames()
{
    QFETCH(bool, obfuscated);
    TestPeer l_listener;
    TestPeer l_dialer;
    QVERIFY(l_listener.Listen());
    l_listener.ExpectPierceFirewall(77, "D");
    const int l_outgoing = l_dialer.Dial(
        obfuscated ? l_listener.ObfuscatedPort() : l_listener.PlainPort(), obfuscated);
    QVERIFY(l_dialer.WaitForConnected(l_outgoing));

    // The first message and a distributed frame in one write: the frame is still plain.
    const QByteArray l_search = TestPeerMessages::DistributedSearch("dave", 1234, "some words");
    const QByteArray l_pierce = TestPeerMessages::PierceFirewall(77);
    l_dialer.SendRaw(l_outgoing, (obfuscated ? TestPeerMessages::ObfuscatedFrame(l_pierce, 99)
                                             : TestPeerMessages::Frame(l_pierce)) +
                                     TestPeerMessages::Frame(l_search));
    l_dialer.SetMode(l_outgoing, TestPeer::Mode::Distributed);

    QSignalSpy l_received(&l_listener, &TestPeer::DistributedFrameReceived);
    const int l_incoming = l_listener.NextIncoming();
    QVERIFY(l_incoming > 0);
    QVERIFY(l_listener.WaitForFrames(l_incoming, 1));
    const TestPeer::FirstMessage l_first = l_listener.ReceivedFirstMessage(l_incoming);
    QVERIFY(l_first.valid);
    QCOMPARE(l_first.direction, quint8(0));
    QCOMPARE(l_first.value, quint32(77));
    QCOMPARE(l_listener.GetMode(l_incoming), TestPeer::Mode::Distributed);
    QCOMPARE(l_received.count(), 1);
    QCOMPARE(l_received.at(0).at(1).value<quint8>(), quint8(3));
    QCOMPARE(l_received.at(0).at(2).toByteArray(), l_search.mid(1));
    const TestPeer::Frame l_frame = l_listener.Frames(l_incoming).at(0);
    QVERIFY(!l_frame.obfuscated);
    QCOMPARE(l_frame.wire, TestPeerMessages::Frame(l_search));

    // Level and leader down, depth up, and an empty frame recorded without a code.
    l_listener.SendDistributed(l_incoming, TestPeerMessages::DistributedLevel(4));
    l_listener.SendDistributed(l_incoming, TestPeerMessages::DistributedGroupLeader("erin"));
    l_listener.SendDistributed(l_incoming, QByteArray());
    l_dialer.SendDistributed(l_outgoing, TestPeerMessages::DistributedChildDepth(0));
    QVERIFY(l_dialer.WaitForFrames(l_outgoing, 3));
    QVERIFY(l_listener.WaitForFrames(l_incoming, 2));
    const QList<TestPeer::Frame> l_down = l_dialer.Frames(l_outgoing);
    QCOMPARE(l_down.at(0).code, quint32(4));
    QCOMPARE(l_down.at(0).fields, Hex("04000000"));
    QCOMPARE(l_down.at(1).code, quint32(5));
    QCOMPARE(l_down.at(1).fields, Hex("04000000") + "erin");
    QVERIFY(!l_down.at(2).hasCode);
    QCOMPARE(l_down.at(2).wire, Hex("00000000"));
    const TestPeer::Frame l_up = l_listener.Frames(l_incoming).at(1);
    QCOMPARE(l_up.code, quint32(7));
    QCOMPARE(l_up.fields, Hex("00000000"));
}

void TestTestPeer::fileTokenIsRawEvenWhenObfuscated()
{
    Pair l_pair;
    QVERIFY(l_pair.Open(true, "F"));
    QCOMPARE(l_pair.listener.GetMode(l_pair.incoming), TestPeer::Mode::Raw);
    QCOMPARE(l_pair.dialer.GetMode(l_pair.outgoing), TestPeer::Mode::Raw);

    QSignalSpy l_raw(&l_pair.listener, &TestPeer::RawReceived);
    l_pair.dialer.SendFileToken(l_pair.outgoing, 0xDEADBEEF);
    QVERIFY(l_pair.listener.WaitForRawBytes(l_pair.incoming, 4));
    QCOMPARE(l_pair.listener.RawBytes(l_pair.incoming), Hex("efbeadde"));
    QVERIFY(l_raw.count() >= 1);
    QVERIFY(l_pair.listener.Frames(l_pair.incoming).isEmpty());

    const QByteArray l_offset = Hex("0010000000000000");
    l_pair.listener.SendRaw(l_pair.incoming, l_offset);
    QVERIFY(l_pair.dialer.WaitForRawBytes(l_pair.outgoing, l_offset.size()));
    QCOMPARE(l_pair.dialer.RawBytes(l_pair.outgoing), l_offset);
}

void TestTestPeer::partialFrames_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain") << false;
    QTest::newRow("obfuscated") << true;
}

void TestTestPeer::partialFrames()
{
    QFETCH(bool, obfuscated);
    Pair l_pair;
    QVERIFY(l_pair.Open(obfuscated));
    const qsizetype l_start = l_pair.listener.Wire(l_pair.incoming).size();

    const QByteArray l_body = TestPeerMessages::UploadDenied("dir\\a.mp3", "Queue full");
    const QByteArray l_wire = obfuscated ? TestPeerMessages::ObfuscatedFrame(l_body, 0xCAFEBABE)
                                         : TestPeerMessages::Frame(l_body);
    // One byte short of the header, then one byte short of the frame, then the last byte.
    const qsizetype l_header = obfuscated ? 8 : 4;
    const QList<qsizetype> l_cuts = {l_header - 1, l_wire.size() - 1, l_wire.size()};
    qsizetype l_sent = 0;
    for (qsizetype l_cut : l_cuts)
    {
        l_pair.dialer.SendRaw(l_pair.outgoing, l_wire.mid(l_sent, l_cut - l_sent));
        l_sent = l_cut;
        QVERIFY(l_pair.listener.WaitForWire(l_pair.incoming, l_start + l_sent));
        const bool l_complete = l_sent == l_wire.size();
        QCOMPARE(l_pair.listener.Frames(l_pair.incoming).size(), l_complete ? 1 : 0);
        QCOMPARE(l_pair.listener.Unparsed(l_pair.incoming),
                 l_complete ? QByteArray() : l_wire.left(l_sent));
    }
    QCOMPARE(l_pair.listener.Frames(l_pair.incoming).at(0).body, l_body);
}

void TestTestPeer::frameLengthLimit_data()
{
    QTest::addColumn<bool>("obfuscated");
    QTest::newRow("plain") << false;
    QTest::newRow("obfuscated") << true;
}

void TestTestPeer::frameLengthLimit()
{
    QFETCH(bool, obfuscated);
    Pair l_pair;
    QCOMPARE(l_pair.listener.MaxFrameLength(), quint32(10485760));
    QVERIFY(l_pair.Open(obfuscated));
    l_pair.listener.SetMaxFrameLength(16);

    const QByteArray l_atLimit = TestPeerMessages::Message(99, QByteArray(12, 'x'));
    l_pair.dialer.SendBody(l_pair.outgoing, l_atLimit);
    QVERIFY(l_pair.listener.WaitForFrames(l_pair.incoming, 1));
    QCOMPARE(l_pair.listener.Frames(l_pair.incoming).at(0).body, l_atLimit);

    // Only the header of an over-long frame is needed to refuse it.
    QSignalSpy l_errors(&l_pair.listener, &TestPeer::ProtocolError);
    const QByteArray l_overLimit = TestPeerMessages::Frame(QByteArray(17, 'y'));
    QCOMPARE(TestPeerMessages::FrameHeader(17), l_overLimit.left(4));
    QCOMPARE(TestPeerMessages::ObfuscatedFrameHeader(17, 5),
             TestObfuscation::Obfuscate(l_overLimit, 5).left(8));
    l_pair.dialer.SendRaw(l_pair.outgoing, obfuscated
                                               ? TestPeerMessages::ObfuscatedFrameHeader(17, 5)
                                               : TestPeerMessages::FrameHeader(17));
    QVERIFY(l_pair.listener.WaitForDisconnected(l_pair.incoming));
    QCOMPARE(l_errors.count(), 1);
    QCOMPARE(l_pair.listener.Frames(l_pair.incoming).size(), 1);
    QVERIFY(l_pair.dialer.WaitForDisconnected(l_pair.outgoing));
}

void TestTestPeer::compressedBodyThroughSocket()
{
    Pair l_pair;
    QVERIFY(l_pair.Open(true));
    const QList<TestPeerMessages::Folder> l_folders = {
        {"music", {{"music\\a.mp3", 100, "mp3", {{0, 128}, {1, 61}, {2, 0}}}}}, {"empty", {}}};
    const QByteArray l_content = TestPeerMessages::ShareListContent(l_folders, {{0, "bitrate"}});
    l_pair.dialer.SendCompressedMessage(l_pair.outgoing, 5, l_content);
    QVERIFY(l_pair.listener.WaitForFrames(l_pair.incoming, 1));
    const TestPeer::Frame l_frame = l_pair.listener.Frames(l_pair.incoming).at(0);
    QCOMPARE(l_frame.code, quint32(5));
    const std::optional<QByteArray> l_inflated = TestPeerMessages::Inflate(l_frame.fields, 1 << 20);
    QVERIFY(l_inflated);
    QCOMPARE(*l_inflated, l_content);

    WireReader l_reader(*l_inflated);
    QCOMPARE(l_reader.ReadU32(), quint32(2));
    QCOMPARE(l_reader.ReadString(), QByteArray("music"));
    QCOMPARE(l_reader.ReadU32(), quint32(1));
    QCOMPARE(l_reader.ReadU8(), quint8(1));
    QCOMPARE(l_reader.ReadString(), QByteArray("music\\a.mp3"));
    QCOMPARE(l_reader.ReadU64(), quint64(100));
    QCOMPARE(l_reader.ReadString(), QByteArray("mp3"));
    QCOMPARE(l_reader.ReadU32(), quint32(3));
    l_reader.ReadRaw(24);
    QCOMPARE(l_reader.ReadString(), QByteArray("empty"));
    QCOMPARE(l_reader.ReadU32(), quint32(0));
    QCOMPARE(l_reader.ReadU32(), quint32(1));
    QCOMPARE(l_reader.ReadI32(), qint32(0));
    QCOMPARE(l_reader.ReadString(), QByteArray("bitrate"));
    QVERIFY(l_reader.Ok());
    QVERIFY(l_reader.AtEnd());
}

void TestTestPeer::closeAndRefusedDial()
{
    Pair l_pair;
    QVERIFY(l_pair.Open(false));
    QSignalSpy l_disconnected(&l_pair.listener, &TestPeer::Disconnected);
    l_pair.dialer.SendBody(l_pair.outgoing, TestPeerMessages::GetSharedFileList());
    l_pair.dialer.Close(l_pair.outgoing);
    QVERIFY(l_pair.listener.WaitForDisconnected(l_pair.incoming));
    QCOMPARE(l_disconnected.count(), 1);
    QCOMPARE(l_disconnected.at(0).at(0).toInt(), l_pair.incoming);
    // The message written before the close arrived, and the records outlive the socket.
    QCOMPARE(l_pair.listener.Frames(l_pair.incoming).size(), 1);
    QCOMPARE(l_pair.listener.Frames(l_pair.incoming).at(0).code, quint32(4));
    QVERIFY(!l_pair.dialer.IsOpen(l_pair.outgoing));

    TestPeer l_gone;
    QVERIFY(l_gone.Listen());
    const quint16 l_port = l_gone.PlainPort();
    l_gone.StopListening();
    QCOMPARE(l_gone.PlainPort(), quint16(0));
    QSignalSpy l_failed(&l_pair.dialer, &TestPeer::ConnectFailed);
    const int l_refused = l_pair.dialer.Dial(l_port, false);
    QVERIFY(l_pair.dialer.WaitForDisconnected(l_refused));
    QCOMPARE(l_failed.count(), 1);
    QVERIFY(!l_pair.dialer.IsConnected(l_refused));
}

QTEST_GUILESS_MAIN(TestTestPeer)
#include "tst_testpeer.moc"
