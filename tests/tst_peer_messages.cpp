// Peer messages on a messaging connection from a TestPeer: every message the client handles and
// the signal it becomes, each malformed form (which closes the connection), the compressed share
// lists and search results with their inflation caps, the senders byte for byte, the queue of
// messages that wait for a connection, and the choice among several connections to one user.
#include "Data.h"
#include "FrameClient.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QDateTime>
#include <QTest>

#include <memory>

namespace
{
constexpr int timeoutMs = 60000;

using Messages = TestPeerMessages;
using File = TestPeerMessages::File;

QString Text(const std::string& i_text)
{
    return QString::fromStdString(i_text);
}

QByteArray Strings(std::initializer_list<const char*> i_strings)
{
    WireWriter l_writer;
    for (const char* lp_string : i_strings)
        l_writer.WriteString(lp_string);
    return l_writer.Bytes();
}

File MakeFile(const QByteArray& i_name, quint64 i_size,
              QList<Messages::Attribute> i_attributes = {})
{
    File l_file;
    l_file.name = i_name;
    l_file.size = i_size;
    l_file.extension = "mp3";
    l_file.attributes = i_attributes;
    return l_file;
}

// The content of a compressed message followed by zeros up to exactly i_length bytes.
QByteArray Padded(const QByteArray& i_content, qsizetype i_length)
{
    return i_content + QByteArray(i_length - i_content.size(), '\0');
}

QString ValueOf(ItemPtr i_item, const char* ip_type)
{
    return Text(i_item[ip_type].AsString());
}
} // namespace

class TestPeerMessageHandling : public QObject
{
    Q_OBJECT

    std::unique_ptr<PeerHarness> mp_harness;
    std::unique_ptr<TestPeer> mp_peer;
    int m_connection = 0;
    QStringList m_events;
    FileInfoMap m_share;
    AttributeTranslationTable m_table;
    QList<ItemPtr> m_results;

    PeerMessenger& Messenger() { return mp_harness->Messenger(); }

    // Sends the body, then a marker, and waits until the marker's signal has come. The events
    // recorded start again with the body's.
    bool Exchange(const QByteArray& i_body)
    {
        m_events.clear();
        mp_peer->SendBody(m_connection, i_body);
        mp_peer->SendBody(m_connection, Messages::UploadFailed("marker"));
        return QTest::qWaitFor(
            [this] { return m_events.contains(QStringLiteral("failed bob marker")); }, timeoutMs);
    }

    // A share list is read only when asked for.
    bool ExchangeList(const QByteArray& i_body)
    {
        Messenger().GetUserSharedFiles("bob");
        return Exchange(i_body);
    }

    // The events before the marker.
    QStringList EventsBeforeMarker() const
    {
        return m_events.mid(0, m_events.indexOf(QStringLiteral("failed bob marker")));
    }

    void WatchSignals()
    {
        PeerMessenger* lp_messenger = &Messenger();
        connect(lp_messenger, &PeerMessenger::SharedFilesInFolderRequested, this,
                [this](std::string i_user, quint32 i_req, std::string i_folder)
                {
                    m_events.append(QStringLiteral("folder %1 %2 %3")
                                        .arg(Text(i_user))
                                        .arg(i_req)
                                        .arg(Text(i_folder)));
                });
        connect(lp_messenger, &PeerMessenger::FileTransferRequested, this,
                [this](std::string i_user, int i_direction, uint i_req, std::string i_file,
                       qint64 i_size)
                {
                    m_events.append(QStringLiteral("transfer %1 %2 %3 %4 %5")
                                        .arg(Text(i_user))
                                        .arg(i_direction)
                                        .arg(i_req)
                                        .arg(Text(i_file))
                                        .arg(i_size));
                });
        connect(lp_messenger, &PeerMessenger::FileTransferResponse, this,
                [this](std::string i_user, uint i_req, bool i_allowed, bool i_hasSize,
                       qint64 i_size, std::string i_reason)
                {
                    m_events.append(QStringLiteral("response %1 %2 %3 %4 %5 %6")
                                        .arg(Text(i_user))
                                        .arg(i_req)
                                        .arg(int(i_allowed))
                                        .arg(int(i_hasSize))
                                        .arg(i_size)
                                        .arg(Text(i_reason)));
                });
        connect(lp_messenger, &PeerMessenger::QueueUploadRequested, this,
                [this](std::string i_user, std::string i_file) {
                    m_events.append(QStringLiteral("queue %1 %2").arg(Text(i_user), Text(i_file)));
                });
        connect(
            lp_messenger, &PeerMessenger::DownloadPlaceInLine, this,
            [this](std::string i_user, std::string i_file, int i_place)
            {
                m_events.append(
                    QStringLiteral("place %1 %2 %3").arg(Text(i_user), Text(i_file)).arg(i_place));
            });
        connect(lp_messenger, &PeerMessenger::UploadFailed, this,
                [this](std::string i_user, std::string i_file) {
                    m_events.append(QStringLiteral("failed %1 %2").arg(Text(i_user), Text(i_file)));
                });
        connect(lp_messenger, &PeerMessenger::UploadDenied, this,
                [this](std::string i_user, std::string i_file, std::string i_reason)
                {
                    m_events.append(QStringLiteral("denied %1 %2 %3")
                                        .arg(Text(i_user), Text(i_file), Text(i_reason)));
                });
        connect(lp_messenger, &PeerMessenger::UserShare, this,
                [this](std::string i_user, FileInfoMap& i_share, AttributeTranslationTable& i_table)
                {
                    m_share = i_share;
                    m_table = i_table;
                    m_events.append(QStringLiteral("share %1 %2 %3")
                                        .arg(Text(i_user))
                                        .arg(i_share.size())
                                        .arg(i_table.size()));
                });
        connect(lp_messenger, &PeerMessenger::SearchResults, this,
                [this](ItemPtr i_results)
                {
                    m_results.append(i_results);
                    m_events.append(QStringLiteral("results %1").arg(ValueOf(i_results, "user")));
                });
    }

    // A search of the client, as the search view starts it.
    quint32 Search() { return mp_harness->Client().FileSearch("query", false); }

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<PeerHarness>();
        WatchSignals();
    }

    void init()
    {
        mp_peer = std::make_unique<TestPeer>();
        QVERIFY(mp_peer->Listen());
        m_events.clear();
        m_results.clear();
        m_share.clear();
        m_table.clear();
        m_connection = mp_harness->DialIn(*mp_peer, "bob", "P", false);
        QVERIFY(PeerHarness::SocketOf("peer_socket", "bob"));
        mp_harness->Mark();
    }

    void cleanup()
    {
        Messenger().ForgetShareListRequest("bob");
        mp_peer.reset();
        mp_harness->ResetPeers();
    }

    void cleanupTestCase() { mp_harness.reset(); }

    void messageCodeNames()
    {
        QCOMPARE(PeerMessenger::MessageCodeToString(4), QStringLiteral("PM_GET_SHARED_FILE_LIST"));
        QCOMPARE(PeerMessenger::MessageCodeToString(41), QStringLiteral("PM_TRANSFER_RESPONSE"));
        QCOMPARE(PeerMessenger::MessageCodeToString(52), QStringLiteral("PM_NOTHING"));
        QCOMPARE(PeerMessenger::MessageCodeToString(2), QStringLiteral("2 (unknown)"));
    }

    void handledMessages_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("36") << Messages::GetSharedFilesInFolder(7, "Music\\Rock")
                            << QStringList{QStringLiteral("folder bob 7 Music\\Rock")};
        QTest::newRow("40 upload")
            << Messages::TransferRequest(1, 9, "a\\b.mp3", 12345)
            << QStringList{QStringLiteral("transfer bob 1 9 a\\b.mp3 12345")};
        QTest::newRow("40 download") << Messages::TransferRequest(0, 9, "a\\b.mp3", std::nullopt)
                                     << QStringList{QStringLiteral("transfer bob 0 9 a\\b.mp3 0")};
        QTest::newRow("41 allowed with size")
            << Messages::TransferAllowed(5, 777)
            << QStringList{QStringLiteral("response bob 5 1 1 777 ")};
        QTest::newRow("41 allowed") << Messages::TransferAllowed(5, std::nullopt)
                                    << QStringList{QStringLiteral("response bob 5 1 0 0 ")};
        QTest::newRow("41 denied") << Messages::TransferDenied(5, "Queued")
                                   << QStringList{QStringLiteral("response bob 5 0 0 0 Queued")};
        QTest::newRow("43") << Messages::QueueUpload("x.mp3")
                            << QStringList{QStringLiteral("queue bob x.mp3")};
        QTest::newRow("44") << Messages::UploadPlaceInLine("x.mp3", 3)
                            << QStringList{QStringLiteral("place bob x.mp3 3")};
        QTest::newRow("46") << Messages::UploadFailed("x.mp3")
                            << QStringList{QStringLiteral("failed bob x.mp3")};
        QTest::newRow("50") << Messages::UploadDenied("x.mp3", "Banned")
                            << QStringList{QStringLiteral("denied bob x.mp3 Banned")};
        QTest::newRow("51 unhandled") << Messages::Message(51, Strings({"x.mp3"})) << QStringList();
        QTest::newRow("2 unknown") << Messages::Message(2, QByteArray()) << QStringList();
    }

    void handledMessages()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, events);
        QVERIFY(Exchange(body));
        QCOMPARE(EventsBeforeMarker(), events);
        QVERIFY(mp_peer->IsOpen(m_connection));
        const quint32 l_code = WireReader(body).ReadU32();
        QVERIFY(mp_harness->PeerLinesSinceMark().contains(
            QStringLiteral("Received %1 message from user bob")
                .arg(PeerMessenger::MessageCodeToString(int(l_code)))));
    }

    void malformedMessagesCloseTheConnection_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("line");
        const QString l_malformed =
            QStringLiteral("Malformed %1 message from user bob, closing the connection");
        const auto l_row = [&](const char* ip_name, const QByteArray& i_body)
        {
            const int l_code = int(WireReader(i_body).ReadU32());
            QTest::newRow(ip_name)
                << i_body << l_malformed.arg(PeerMessenger::MessageCodeToString(l_code));
        };
        l_row("36 without folder", Messages::GetSharedFilesInFolder(7, "f").chopped(5));
        l_row("40 upload without size", Messages::TransferRequest(1, 9, "f", std::nullopt));
        l_row("40 without file",
              Messages::Message(40, WireWriter().WriteU32(0).WriteU32(9).Bytes()));
        l_row("41 without flag", Messages::Message(41, WireWriter().WriteU32(5).Bytes()));
        l_row("41 denied without reason",
              Messages::Message(41, WireWriter().WriteU32(5).WriteU8(0).Bytes()));
        l_row("43 empty", Messages::Message(43, QByteArray()));
        l_row("44 without place", Messages::Message(44, Strings({"f"})));
        l_row("46 string too long",
              Messages::Message(
                  46, WireWriter().WriteU32(131073).WriteRaw(QByteArray(131073, 'a')).Bytes()));
        l_row("50 without reason", Messages::Message(50, Strings({"f"})));
        l_row("5 broken stream", Messages::Message(5, QByteArrayLiteral("not zlib")));
        l_row("5 cut short",
              Messages::Message(5, Messages::Compress(Messages::ShareListContent({})).chopped(3)));
        l_row("5 bad folder map",
              Messages::SharedFileList(
                  WireWriter().WriteU32(1).WriteString("f").WriteU32(2).Bytes()));
        l_row("9 broken stream", Messages::Message(9, QByteArrayLiteral("not zlib")));
        l_row("9 from another user",
              Messages::FileSearchResult(Messages::SearchReplyContent("mallory", 1, {}, 1, 0, 0)));
        l_row("9 without token", Messages::FileSearchResult(Strings({"bob"})));
        QTest::newRow("no code")
            << QByteArray()
            << QStringLiteral(
                   "Could not read message code on connection to user bob, disposing of socket");
    }

    void malformedMessagesCloseTheConnection()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, line);
        // A share list is read only when asked for.
        if (body.startsWith(Messages::Message(5, QByteArray())))
            Messenger().GetUserSharedFiles("bob");
        mp_peer->SendBody(m_connection, body);
        QVERIFY(mp_peer->WaitForDisconnected(m_connection, timeoutMs));
        QVERIFY2(mp_harness->PeerLinesSinceMark().contains(line), qPrintable(line));
        QVERIFY(m_events.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(d.GetType("peer_socket")->ItemCount(), std::size_t(0), timeoutMs);
    }

    void shareListRequestIsAnswered()
    {
        mp_peer->SendBody(m_connection, Messages::GetSharedFileList());
        QVERIFY(mp_peer->WaitForFrames(m_connection, 1));
        MemStream l_expected = sharedFoldersManager->GetSharedFilesMessage("bob").value();
        QCOMPARE(mp_peer->Frames(m_connection).first().body,
                 QByteArray(l_expected.GetReadBuffer(), l_expected.GetPendingReadLength()));
    }

    void shareList()
    {
        Messages::Folder l_music{
            "Music", {MakeFile("a.mp3", 1000, {{0, 320}, {1, 200}}), MakeFile("b.ogg", 20)}};
        Messages::Folder l_empty{"Empty", {}};
        QVERIFY(ExchangeList(Messages::SharedFileList(
            Messages::ShareListContent({l_music, l_empty}, {{0, "bitrate"}}))));
        QCOMPARE(EventsBeforeMarker(), QStringList{QStringLiteral("share bob 2 1")});
        QCOMPARE(m_share.at("Music").size(), std::size_t(2));
        const FileInfo& l_first = *m_share.at("Music").begin();
        QCOMPARE(l_first.m_name, std::string("a.mp3"));
        QCOMPARE(l_first.m_size, qint64(1000));
        QCOMPARE(l_first.m_attributes.m_attributes.size(), std::size_t(2));
        QCOMPARE(l_first.m_attributes.m_attributes.at(0), (std::pair<quint32, quint32>(0, 320)));
        QVERIFY(m_share.at("Empty").empty());
        QCOMPARE(m_table.at(0), std::string("bitrate"));

        // A list without its translation table still arrives, with an empty table.
        m_events.clear();
        QByteArray l_noTable = Messages::ShareListContent({l_music});
        l_noTable.chop(4);
        QVERIFY(ExchangeList(Messages::SharedFileList(l_noTable)));
        QCOMPARE(EventsBeforeMarker(), QStringList{QStringLiteral("share bob 1 0")});
    }

    void shareListInflationCap_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("at the cap") << PeerMessenger::MaxShareListLength << true;
        QTest::newRow("one byte over") << PeerMessenger::MaxShareListLength + 1 << false;
    }

    // A stream of zeros reads as an empty share list however long it is.
    void shareListInflationCap()
    {
        QFETCH(qint64, length);
        QFETCH(bool, accepted);
        const QByteArray l_body = Messages::Message(5, Messages::CompressedZeros(quint64(length)));
        if (accepted)
        {
            QVERIFY(ExchangeList(l_body));
            QCOMPARE(EventsBeforeMarker(), QStringList{QStringLiteral("share bob 0 0")});
            return;
        }
        Messenger().GetUserSharedFiles("bob");
        mp_peer->SendBody(m_connection, l_body);
        QVERIFY(mp_peer->WaitForDisconnected(m_connection, timeoutMs));
        QVERIFY(m_events.isEmpty());
    }

    void searchResults()
    {
        const quint32 l_token = Search();
        const QList<File> l_files{
            MakeFile("Music\\Rock\\a.mp3", 1000, {{0, 320}, {1, 200}, {2, 0}, {7, 1}}),
            MakeFile("Other\\b.flac", 5000000000ULL, {{2, 1}})};
        QVERIFY(Exchange(Messages::FileSearchResult(
            Messages::SearchReplyContent("bob", l_token, l_files, 1, 5000, 3))));
        QCOMPARE(EventsBeforeMarker(), QStringList{QStringLiteral("results bob")});
        ItemPtr l_results = m_results.first();
        QCOMPARE(l_results["search_request"].AsUInt(), l_token);
        QCOMPARE(ValueOf(l_results, "search_results_user_available"), QStringLiteral("yes"));
        QCOMPARE(ValueOf(l_results, "search_results_user_speed"), QStringLiteral("5000"));
        QCOMPARE(ValueOf(l_results, "search_results_uploads_in_queue"), QStringLiteral("3"));
        const ItemSet l_items = l_results.GetItems("search_result");
        QCOMPARE(l_items.size(), std::size_t(2));
        ItemPtr l_first = l_items.front();
        QCOMPARE(ValueOf(l_first, "search_result_file_name"), QStringLiteral("a.mp3"));
        QCOMPARE(ValueOf(l_first, "search_result_file_folder"), QStringLiteral("Music\\Rock"));
        QCOMPARE(ValueOf(l_first, "file_size"), QStringLiteral("1000"));
        QCOMPARE(ValueOf(l_first, "bitrate"), QStringLiteral("320"));
        QCOMPARE(ValueOf(l_first, "length_seconds"), QStringLiteral("200"));
        QCOMPARE(ValueOf(l_first, "bitrate_mode"), QStringLiteral("cbr"));
        for (Item* lp_item : l_items)
            if (lp_item != l_first)
            {
                QCOMPARE(ValueOf(lp_item, "search_result_file_name"), QStringLiteral("b.flac"));
                QCOMPARE(ValueOf(lp_item, "file_size"), QStringLiteral("5000000000"));
                QCOMPARE(ValueOf(lp_item, "bitrate_mode"), QStringLiteral("vbr"));
                QVERIFY(!ItemPtr(lp_item)["bitrate"]);
            }

        // Fields after the files that are missing read as 0.
        m_events.clear();
        QByteArray l_short =
            Messages::SearchReplyContent("bob", l_token, {MakeFile("x\\c.mp3", 1)}, 0, 0, 0);
        l_short.chop(13);
        QVERIFY(Exchange(Messages::FileSearchResult(l_short)));
        ItemPtr l_second = m_results.last();
        QCOMPARE(ValueOf(l_second, "search_results_user_available"), QStringLiteral("no"));
        QCOMPARE(ValueOf(l_second, "search_results_user_speed"), QStringLiteral("0"));
        QCOMPARE(ValueOf(l_second, "search_results_uploads_in_queue"), QStringLiteral("0"));
    }

    void searchResultsForAnUnknownSearchAreIgnored()
    {
        QVERIFY(Exchange(Messages::FileSearchResult(
            Messages::SearchReplyContent("bob", 999999, {MakeFile("x\\a.mp3", 1)}, 1, 0, 0))));
        QVERIFY(EventsBeforeMarker().isEmpty());
        QVERIFY(m_results.isEmpty());
        QVERIFY(mp_peer->IsOpen(m_connection));
    }

    void searchResultsWithTooManyFilesCloseTheConnection()
    {
        const quint32 l_token = Search();
        mp_peer->SendBody(
            m_connection,
            Messages::FileSearchResult(
                WireWriter().WriteString("bob").WriteU32(l_token).WriteU32(131073).Bytes()));
        QVERIFY(mp_peer->WaitForDisconnected(m_connection, timeoutMs));
        QVERIFY(m_events.isEmpty());
    }

    void filesAlreadyReportedAreSkipped()
    {
        const File l_a = MakeFile("Music\\a.mp3", 1);
        const File l_c = MakeFile("Music\\c.mp3", 3);
        QVERIFY(Exchange(Messages::FileSearchResult(
            Messages::SearchReplyContent("bob", Search(), {l_a}, 1, 0, 0))));
        QVERIFY(Exchange(Messages::FileSearchResult(
            Messages::SearchReplyContent("bob", Search(), {l_a, l_c, l_c}, 1, 0, 0))));
        QCOMPARE(m_results.size(), qsizetype(2));
        // A file repeated within one message is one result too.
        QCOMPARE(m_results.last().GetItems("search_result").size(), std::size_t(1));
        QCOMPARE(
            ValueOf(m_results.last().GetItems("search_result").front(), "search_result_file_name"),
            QStringLiteral("c.mp3"));

        const quint32 l_third = Search();
        QVERIFY(Exchange(Messages::FileSearchResult(
            Messages::SearchReplyContent("bob", l_third, {l_a}, 1, 0, 0))));
        QCOMPARE(m_results.size(), qsizetype(2));
        QVERIFY(
            !d.GetType("search_request")->HasItem(Value(l_third)).IsConnected("search_results"));
    }

    void searchResultsInflationCap_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("at the cap") << PeerMessenger::MaxSearchResultsLength << true;
        QTest::newRow("one byte over") << PeerMessenger::MaxSearchResultsLength + 1 << false;
    }

    void searchResultsInflationCap()
    {
        QFETCH(qint64, length);
        QFETCH(bool, accepted);
        const QByteArray l_content =
            Messages::SearchReplyContent("bob", Search(), {MakeFile("x\\a.mp3", 1)}, 1, 0, 0);
        const QByteArray l_body = Messages::FileSearchResult(Padded(l_content, qsizetype(length)));
        if (accepted)
        {
            QVERIFY(ExchangeList(l_body));
            QCOMPARE(EventsBeforeMarker(), QStringList{QStringLiteral("results bob")});
            return;
        }
        Messenger().GetUserSharedFiles("bob");
        mp_peer->SendBody(m_connection, l_body);
        QVERIFY(mp_peer->WaitForDisconnected(m_connection, timeoutMs));
        QVERIFY(m_events.isEmpty());
    }

    void senders()
    {
        TestSettings::SetSetting("transfer_req_counter", "7");
        QCOMPARE(Messenger().RequestUpload("bob", "d\\f.mp3", 4096), 7u);
        QCOMPARE(TestSettings::Setting("transfer_req_counter").AsString(), std::string("8"));
        Messenger().AcceptTransferRequest("bob", 11, true, 99);
        Messenger().AcceptTransferRequest("bob", 12, false, 99);
        Messenger().DenyTransferRequest("bob", 13, "Cancelled");
        Messenger().QueueDownload("bob", "d\\g.mp3");
        Messenger().DenyUpload("bob", "d\\h.mp3", "File not shared.");
        Messenger().GetUserSharedFiles("bob");
        QVERIFY(mp_peer->WaitForFrames(m_connection, 7));
        const QList<QByteArray> l_expected{Messages::TransferRequest(1, 7, "d\\f.mp3", 4096),
                                           Messages::TransferAllowed(11, 99),
                                           Messages::TransferAllowed(12, std::nullopt),
                                           Messages::TransferDenied(13, "Cancelled"),
                                           Messages::QueueUpload("d\\g.mp3"),
                                           Messages::UploadDenied("d\\h.mp3", "File not shared."),
                                           Messages::GetSharedFileList()};
        const QList<TestPeer::Frame> l_frames = mp_peer->Frames(m_connection);
        for (qsizetype l_index = 0; l_index < l_expected.size(); ++l_index)
            QCOMPARE(l_frames.at(l_index).body, l_expected.at(l_index));
        QVERIFY(mp_harness->PeerLinesSinceMark().contains(
            QStringLiteral("Send PM_TRANSFER_REQUEST message to user bob")));
    }

    // Messages to a user without a connection wait, in order, until one is made.
    void queuedMessagesGoOutInOrder()
    {
        Messenger().QueueDownload("olga", "1");
        Messenger().QueueDownload("olga", "2");
        Messenger().QueueDownload("olga", "3");
        const ItemSet l_queued = d.GetType("user")->HasItem("olga").GetItems("unsent_message");
        QCOMPARE(l_queued.size(), std::size_t(3));
        QList<int> l_orders;
        for (Item* lp_item : l_queued)
            l_orders.append(ItemPtr(lp_item)["send_order"].AsInt());
        QCOMPARE(l_orders.at(1), l_orders.at(0) + 1);
        QCOMPARE(l_orders.at(2), l_orders.at(0) + 2);
        QVERIFY(mp_harness->PeerLinesSinceMark().contains(
            QStringLiteral("Did not find messaging connection to user, queueing unsent message")));

        const int l_olga = mp_harness->DialIn(*mp_peer, "olga", "P", true);
        QVERIFY(mp_peer->WaitForFrames(l_olga, 3));
        const QList<TestPeer::Frame> l_frames = mp_peer->Frames(l_olga);
        for (int l_index = 0; l_index < 3; ++l_index)
        {
            QCOMPARE(l_frames.at(l_index).body,
                     Messages::QueueUpload(QByteArray::number(l_index + 1)));
            QVERIFY(l_frames.at(l_index).obfuscated);
        }
        QCOMPARE(d.GetType("unsent_message")->ItemCount(), std::size_t(0));
        QVERIFY(mp_harness->PeerLinesSinceMark().contains(
            QStringLiteral("Sending 3 pending peer messages to user olga")));
    }

    void newestConnectionIsUsed()
    {
        const int l_second = mp_harness->DialIn(*mp_peer, "bob", "P", false);
        QTRY_COMPARE_WITH_TIMEOUT(d.GetType("peer_socket")->ItemCount(), std::size_t(2), timeoutMs);
        ItemSet l_sockets = d.GetType("user")->HasItem("bob").GetItems("peer_socket");
        ItemPtr l_older = l_sockets.front();
        const QDateTime l_now = QDateTime::currentDateTime();
        Type* lp_times = d.GetType("connection_open_time");
        // The connection opened second is the later one.
        l_older += lp_times->GetItem(l_now.toString(Qt::TextDate));
        for (Item* lp_socket : l_sockets)
            if (lp_socket != l_older)
                ItemPtr(lp_socket) += lp_times->GetItem(l_now.addSecs(60).toString(Qt::TextDate));
        Messenger().QueueDownload("bob", "later");
        QVERIFY(mp_peer->WaitForFrames(l_second, 1));
        QCOMPARE(mp_peer->Frames(l_second).first().body, Messages::QueueUpload("later"));
        QVERIFY(mp_harness->PeerLinesSinceMark().contains(
            QStringLiteral("Found 2 existing messaging connections to user, picking latest")));

        // Opened within the same second: the first in the set's order.
        for (Item* lp_socket : l_sockets)
            ItemPtr(lp_socket) += lp_times->GetItem(l_now.toString(Qt::TextDate));
        Messenger().QueueDownload("bob", "same");
        QVERIFY(mp_peer->WaitForFrames(m_connection, 1));
        QCOMPARE(mp_peer->Frames(m_connection).first().body, Messages::QueueUpload("same"));
        QCOMPARE(mp_peer->Frames(l_second).size(), qsizetype(1));
    }
};

QTEST_GUILESS_MAIN(TestPeerMessageHandling)
#include "tst_peer_messages.moc"
