// Downloads through real sockets on 127.0.0.1: the client as the downloader, test peers as the
// files' owners, from the owner's offer to the finished file in the complete folder; the
// owners' notices; the saved state.
#include "Data.h"
#include "DataSaver.h"
#include "FileConnectionSender.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferHarness.h"
#include "TransferPaths.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "TransferThread.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace
{
using Ending = FileConnectionSender::Ending;

constexpr int timeoutMs = TransferHarness::timeoutMs;
constexpr quint32 acceptCode = 41;

QByteArray Pattern(qint64 i_size)
{
    QByteArray l_bytes(i_size, Qt::Uninitialized);
    for (qint64 l_index = 0; l_index < i_size; ++l_index)
        l_bytes[l_index] = char((l_index * 31 + 7) % 251);
    return l_bytes;
}

QByteArray ReadFile(const QString& i_path)
{
    QFile l_file(i_path);
    return l_file.open(QIODevice::ReadOnly) ? l_file.readAll() : QByteArray("<missing>");
}

bool WriteFile(const QString& i_path, const QByteArray& i_bytes)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile l_file(i_path);
    return l_file.open(QIODevice::WriteOnly) && l_file.write(i_bytes) == i_bytes.size();
}

std::string Status(ItemPtr i_entry)
{
    return TransferHarness::Status(i_entry, "download_entry_status");
}

} // namespace

class TransfersTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferHarness> mp_t;
    quint32 m_nextToken = 100;

    TransferQueueManager& Manager() { return mp_t->Manager(); }
    TransferPeer& Bob() { return mp_t->Bob(); }
    QString Folder() const { return mp_t->Path(u"D"_s); }
    QString Path(const QByteArray& i_relative) const
    {
        return Folder() + QLatin1Char('/') + QString::fromUtf8(i_relative);
    }

    // The owner offers its file; returns the client's reason to refuse it, empty if it accepts.
    QByteArray Offer(TransferPeer& i_owner, quint32 i_token, const QByteArray& i_path,
                     qint64 i_size)
    {
        i_owner.Offer(i_token, i_path, quint64(i_size));
        const auto l_fields = i_owner.Take(acceptCode);
        if (!l_fields)
            return "<no answer>";
        WireReader l_reader(*l_fields);
        if (l_reader.ReadU32() != i_token)
            return "<another token>";
        return l_reader.ReadU8() != 0 ? QByteArray() : l_reader.ReadString();
    }

    quint32 OfferAccepted(TransferPeer& i_owner, const QByteArray& i_path, qint64 i_size)
    {
        const quint32 l_token = m_nextToken++;
        if (!Offer(i_owner, l_token, i_path, i_size).isEmpty())
            qWarning("the offer was not accepted");
        return l_token;
    }

    // Bytes of the file that the client holds, as its thread last reported.
    static qint64 Written(ItemPtr i_download)
    {
        const auto* lp_position = i_download["write_position"].AsPtr<std::atomic<qint64>>();
        return lp_position ? lp_position->load() : -1;
    }

    bool WaitForStatus(ItemPtr i_download, const char* ip_status)
    {
        return QTest::qWaitFor([&] { return Status(i_download) == ip_status; }, timeoutMs);
    }

    // bob's 5000-byte f\\a.mp3, offered, accepted and sent up to i_stopAt, then ended so.
    std::unique_ptr<FileConnectionSender> Start(ItemPtr& o_download, qint64 i_stopAt,
                                                Ending i_ending = Ending::Stall,
                                                quint32* o_token = nullptr)
    {
        o_download = Manager().AddDownload("bob", "a.mp3", "f", 5000, 0);
        const quint32 l_token = OfferAccepted(Bob(), "f\\a.mp3", 5000);
        if (o_token)
            *o_token = l_token;
        return Bob().SendFile(l_token, Pattern(5000), i_ending, i_stopAt);
    }

private slots:
    void initTestCase()
    {
        mp_t = std::make_unique<TransferHarness>();
        QVERIFY(mp_t->IsValid());
    }

    void init()
    {
        TestSettings::SetSetting("download_folder", Folder());
        mp_t->Reset(true);
    }

    void cleanup()
    {
        for (Item* lp_download : d.GetType("download_entry")->GetItems())
            Manager().RemoveDownload(lp_download);
        d.GetType("complete_download")->GetItems().Remove();
        sharedFoldersManager->RemoveUserShare("bob");
        QDir(Folder()).removeRecursively();
    }

    void cleanupTestCase() { mp_t.reset(); }

    // From the offer to the finished file, with a partial file of some length already there;
    // names from the owner never leave the download folder.
    void download_data()
    {
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("partial");
        QTest::addColumn<QByteArray>("placed");
        QTest::newRow("fresh") << "music\\album"_ba
                               << "a.mp3"_ba << 0 << "album/a.mp3"_ba;
        QTest::newRow("resume") << "music\\album"_ba
                                << "a.mp3"_ba << 1000 << "album/a.mp3"_ba;
        QTest::newRow("whole partial") << "music"_ba
                                       << "a.mp3"_ba << 5000 << "music/a.mp3"_ba;
        QTest::newRow("dot dot") << "..\\.."_ba
                                 << "x"_ba << 0 << "__/x"_ba;
        QTest::newRow("slashes") << "a/.."_ba
                                 << "b"_ba << 0 << "__/b"_ba;
        QTest::newRow("empty") << ""_ba
                               << ""_ba << 0 << "_"_ba;
        QTest::newRow("control") << "d\x01r"_ba
                                 << "f\x1f"_ba << 0 << "d_r/f_"_ba;
    }

    void download()
    {
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, name);
        QFETCH(int, partial);
        QFETCH(QByteArray, placed);
        const QByteArray l_bytes = Pattern(5000);
        const QString l_downloading = Path("downloading/" + placed);
        QVERIFY(WriteFile(l_downloading, l_bytes.left(partial)));
        ItemPtr l_download =
            Manager().AddDownload("bob", name.toStdString(), folder.toStdString(), 5000, 0);
        auto lp_sender = Bob().SendFile(OfferAccepted(Bob(), folder + '\\' + name, 5000), l_bytes);
        QVERIFY(WaitForStatus(l_download, "complete"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(partial));
        QCOMPARE(ReadFile(Path("complete/" + placed)), l_bytes);
        QVERIFY(!QFile::exists(l_downloading));
        QCOMPARE(d.GetType("complete_download")->ItemCount(), std::size_t(1));
        QVERIFY(!l_download["download_thread"] && !l_download["write_position"]);
    }

    // Names in other users' lists and search results are kept as they came (up to a NUL byte),
    // and a download started from one, as the user starts it, ends in the complete folder. A
    // folder's contents sent unasked are let pass.
    void namesFromListsAndResults_data()
    {
        QTest::addColumn<bool>("fromList");
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<QByteArray>("name");
        // A listed name that holds a separator names no file that an offer can name.
        QTest::addColumn<bool>("accepted");
        const QByteArray l_nul = "x\0..\\..\\y"_ba;
        for (bool l_list : {true, false})
        {
            const char* lp_source = l_list ? "list: " : "result: ";
            QTest::addRow("%sdot dots", lp_source) << l_list << "..\\..\\.."_ba
                                                   << ".."_ba << true;
            QTest::addRow("%sslashes", lp_source) << l_list << "/etc/../a\\..\\.."_ba
                                                  << "../../b"_ba << !l_list;
            QTest::addRow("%sroots", lp_source) << l_list << "\\\\host\\..\\C:"_ba
                                                << "/c"_ba << !l_list;
            QTest::addRow("%scontrol characters", lp_source) << l_list << "\x01\\\x1f..\\\x7f"_ba
                                                             << "d\x02\n"_ba << true;
            QTest::addRow("%sNUL", lp_source) << l_list << l_nul << l_nul << true;
        }
    }

    void namesFromListsAndResults()
    {
        QFETCH(bool, fromList);
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, name);
        QFETCH(bool, accepted);
        const QByteArray l_bytes = Pattern(2000);
        const TestPeerMessages::File l_file{fromList ? name : folder + '\\' + name, 2000, {}, {}};
        ItemPtr l_stored;
        QByteArray l_folder;
        QByteArray l_name;
        if (fromList)
        {
            // A folder's contents: the token and the folder, then what a list of it would hold.
            const QByteArray l_list = TestPeerMessages::ShareListContent({{folder, {l_file}}});
            Bob().Send(TestPeerMessages::CompressedMessage(
                37, WireWriter().WriteU32(7).WriteString(folder).Bytes() + l_list));
            Bob().Send(TestPeerMessages::SharedFileList(l_list));
            QTRY_VERIFY_WITH_TIMEOUT(
                l_stored = ItemPtr(d.GetType("user")->GetItem(
                    "bob"))["user_share"]["user_share_folder"]["user_share_file"],
                timeoutMs);
            l_folder = QByteArray::fromStdString(
                l_stored["user_share_folder"]["user_share_folder_name"].AsString());
            l_name = QByteArray::fromStdString(l_stored["user_share_file_name"].AsString());
            QCOMPARE(l_folder + '|' + l_name,
                     QByteArray(folder.constData()) + '|' + QByteArray(name.constData()));
        }
        else
        {
            const quint32 l_token = mp_t->Peers().Client().FileSearch("query", false);
            Bob().Send(TestPeerMessages::FileSearchResult(
                TestPeerMessages::SearchReplyContent("bob", l_token, {l_file}, 1, 0, 0)));
            ItemPtr l_request = d.GetType("search_request")->HasItem(Value(l_token));
            QTRY_VERIFY_WITH_TIMEOUT(l_stored = l_request["search_results"]["search_result"],
                                     timeoutMs);
            l_folder = QByteArray::fromStdString(l_stored["search_result_file_folder"].AsString());
            l_name = QByteArray::fromStdString(l_stored["search_result_file_name"].AsString());
            const QByteArray l_path(l_file.name.constData());
            QVERIFY(l_path.startsWith(l_folder) && l_path.endsWith(l_name));
        }
        ItemPtr l_download = Manager().AddDownload("bob", l_name.toStdString(),
                                                   l_folder.toStdString(), l_bytes.size(), 9);
        // The owner offers the path that the client asks for.
        const quint32 l_token = m_nextToken++;
        const QByteArray l_refusal =
            Offer(Bob(), l_token, l_folder + '\\' + l_name, l_bytes.size());
        QVERIFY(!l_refusal.startsWith('<'));
        QCOMPARE(l_refusal.isEmpty(), accepted);
        if (accepted)
        {
            auto lp_sender = Bob().SendFile(l_token, l_bytes);
            QVERIFY(WaitForStatus(l_download, "complete"));
            QVERIFY(lp_sender->Finish());
        }
        QStringList l_copies;
        for (QDirIterator l_files(mp_t->Path({}), QDir::Files, QDirIterator::Subdirectories);
             l_files.hasNext();)
            if (ReadFile(l_files.next()) == l_bytes)
                l_copies << l_files.filePath();
        QCOMPARE(l_copies.size(), int(accepted));
        for (const QString& l_copy : l_copies)
            QVERIFY2(l_copy.startsWith(Path("complete/")), qPrintable(l_copy));
    }

    // An offer for no download is cancelled, one for a finished download is complete.
    void refusedOffers()
    {
        QCOMPARE(Offer(Bob(), 7, "f\\done.mp3", 1), "Cancelled"_ba);
        QVERIFY(WriteFile(Path("complete/f/done.mp3"), "x"));
        QCOMPARE(Status(Manager().AddDownload("bob", "done.mp3", "f", 1, 0)), "complete");
        QCOMPARE(Offer(Bob(), 7, "f\\done.mp3", 1), "Complete"_ba);
    }

    // A file connection naming no download is closed before its offset, and nothing is written.
    void unknownTokenIsClosed()
    {
        Manager().AddDownload("bob", "a.mp3", "f", 10, 0);
        auto lp_sender = Bob().SendFile(4242, Pattern(10));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(-1));
        QVERIFY(!QDir(Path("downloading")).exists());
    }

    // An owner that stops sending, or closes early, aborts the download and keeps what arrived.
    void interrupted_data()
    {
        QTest::addColumn<int>("ending");
        QTest::newRow("stall") << int(Ending::Stall);
        QTest::newRow("close") << int(Ending::Close);
    }

    void interrupted()
    {
        QFETCH(int, ending);
        TransferThread::SetWaitMilliseconds(300);
        ItemPtr l_download;
        auto lp_sender = Start(l_download, 1000, Ending(ending));
        QVERIFY(WaitForStatus(l_download, "aborted"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(ReadFile(Path("downloading/f/a.mp3")), Pattern(1000));
        QVERIFY(!l_download["download_socket"] && !l_download["download_file"]);
    }

    // Two writers on one file would corrupt it: a second connection for a running download, and
    // a download of another user to the same path, are closed.
    void oneWriterPerFile_data()
    {
        QTest::addColumn<bool>("otherUser");
        QTest::newRow("same download") << false;
        QTest::newRow("same target, other user") << true;
    }

    void oneWriterPerFile()
    {
        QFETCH(bool, otherUser);
        ItemPtr l_first;
        quint32 l_token = 0;
        auto lp_stalled = Start(l_first, 1000, Ending::Stall, &l_token);
        QVERIFY(WaitForStatus(l_first, "downloading"));
        QTRY_COMPARE_WITH_TIMEOUT(lp_stalled->BytesSent(), qint64(1000), timeoutMs);
        ItemPtr l_second = l_first;
        std::unique_ptr<FileConnectionSender> lp_late;
        if (otherUser)
        {
            l_second = Manager().AddDownload("carol", "a.mp3", "f", 5000, 0);
            lp_late = mp_t->Carol().SendFile(OfferAccepted(mp_t->Carol(), "f\\a.mp3", 5000),
                                             Pattern(5000));
        }
        else
            lp_late = Bob().SendFile(l_token, Pattern(5000));
        QVERIFY(lp_late->Finish());
        // Another user's download keeps a partial file of its own and goes on beside.
        QCOMPARE(lp_late->ReceivedOffset(), otherUser ? qint64(0) : qint64(-1));
        if (otherUser)
            QVERIFY(WaitForStatus(l_second, "complete"));
        else
            QCOMPARE(Status(l_second), "downloading");
        Manager().RemoveDownload(l_first);
        QVERIFY(lp_stalled->Finish());
        QCOMPARE(ReadFile(Path("downloading/f/a.mp3")), Pattern(1000));
    }

    // A new offer for a running download stops its thread at once, not after its socket's wait.
    void newOfferStopsRunningDownload()
    {
        ItemPtr l_download;
        auto lp_stalled = Start(l_download, 100);
        QTRY_COMPARE_WITH_TIMEOUT(Written(l_download), qint64(100), timeoutMs);
        const quint64 l_oldSerial = l_download["download_thread"].AsPtr<TransferThread>()->Serial();
        const quint32 l_token = OfferAccepted(Bob(), "f\\a.mp3", 5000);
        QCOMPARE(Status(l_download), "aborted");
        QVERIFY(lp_stalled->Finish());
        QVERIFY(lp_stalled->PeerClosed());

        // The ended thread's late signals never reach the transfer that follows.
        auto lp_sender = Bob().SendFile(l_token, Pattern(5000), Ending::Stall, 1000);
        QTRY_COMPARE_WITH_TIMEOUT(Written(l_download), qint64(1000), timeoutMs);
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(100));
        Manager().OnDownloadProgress(l_oldSerial, 4999, 1);
        Manager().OnDownloadComplete(l_oldSerial);
        Manager().OnDownloadError(l_oldSerial);
        QCOMPARE(Written(l_download), qint64(1000));
        QCOMPARE(Status(l_download), "downloading");
        Manager().RemoveDownload(l_download);
        QVERIFY(lp_sender->Finish());
        QCOMPARE(ReadFile(Path("downloading/f/a.mp3")), Pattern(1000));
    }

    // A taken name in the complete folder gets a numbered one; a move that cannot be made keeps
    // the partial file and is a local error.
    void completionNames_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QByteArray>("placed");
        QTest::newRow("taken") << "complete/f/a.mp3"_ba
                               << "complete/f/a (1).mp3"_ba;
        QTest::newRow("taken twice") << "complete/f/a (1).mp3|complete/f/a.mp3"_ba
                                     << "complete/f/a (2).mp3"_ba;
        QTest::newRow("no folder") << "complete"_ba
                                   << "downloading/f/a.mp3"_ba;
    }

    void completionNames()
    {
        QFETCH(QByteArray, existing);
        QFETCH(QByteArray, placed);
        const QByteArray l_bytes = Pattern(3000);
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", l_bytes.size(), 0);
        for (const QByteArray& l_path : existing.split('|'))
            QVERIFY(WriteFile(Path(l_path), "old"));
        const bool l_moves = placed.startsWith("complete");
        auto lp_sender = Bob().SendFile(OfferAccepted(Bob(), "f\\a.mp3", l_bytes.size()), l_bytes);
        QVERIFY(WaitForStatus(l_download, l_moves ? "complete" : "local error"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(ReadFile(Path(placed)), l_bytes);
        ItemSet l_records = d.GetType("complete_download")->GetItems();
        QCOMPARE(l_records.size(), std::size_t(l_moves));
        if (l_moves)
            QCOMPARE(
                QString::fromStdString(ItemPtr(l_records)["complete_download_filename"].AsString()),
                QFileInfo(Path(placed)).fileName());
    }

    // The check every download path passes before anything is written.
    void pathBelowFolder_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("below");
        QTest::newRow("below") << u"/d/a/b"_s << u"/d/"_s << true;
        QTest::newRow("the folder") << u"/d"_s << u"/d"_s << false;
        QTest::newRow("a sibling") << u"/dd/a"_s << u"/d"_s << false;
        QTest::newRow("out and back") << u"/d/../e/a"_s << u"/d"_s << false;
        QTest::newRow("the root") << u"/a"_s << u"/"_s << true;
        QTest::newRow("the root itself") << u"/"_s << u"/"_s << false;
        QTest::newRow("no folder") << u"/a"_s << QString() << false;
    }

    void pathBelowFolder()
    {
        QFETCH(QString, path);
        QFETCH(QString, folder);
        QFETCH(bool, below);
        QCOMPARE(IsPathBelowFolder(path, folder), below);
    }

    // Owners' notices: a failure re-queues only what is still wanted; a denial keeps its reason.
    void ownerNotices_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<bool>("requeued");
        QTest::newRow("aborted") << "aborted"_ba << true;
        QTest::newRow("complete") << "complete"_ba << false;
        QTest::newRow("denied") << "denied"_ba << false;
        QTest::newRow("local error") << "local error"_ba << false;
    }

    void ownerNotices()
    {
        QFETCH(QByteArray, status);
        QFETCH(bool, requeued);
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", 1, 0);
        QVERIFY(Bob().Take(51));
        Manager().SetDownloadEntryStatus(l_download, status.toStdString());
        const int l_before = Bob().Count(43);
        mp_t->Peers().Messenger().UploadFailed("bob", "f\\a.mp3");
        Bob().Send(TestPeerMessages::UploadPlaceInLine("f\\a.mp3", 3));
        QTRY_COMPARE_WITH_TIMEOUT(l_download["place_in_line"].AsString(), "3", timeoutMs);
        QCOMPARE(Bob().Count(43) - l_before, requeued ? 1 : 0);
        Bob().Send(TestPeerMessages::UploadDenied("f\\a.mp3", "File not shared."));
        QTRY_COMPARE_WITH_TIMEOUT(l_download["denial_reason"].AsString(), "File not shared.",
                                  timeoutMs);
        QCOMPARE(Status(l_download), "denied");
    }

    // What is saved of a running download: the entry, as queued after loading, and no pointer.
    // Whatever takes the unused status items (the collector, a store emptied by a data file that
    // could not be read), the active statuses come back flagged.
    void saveAndLoad()
    {
        ItemPtr(d.GetType("download_entry_status")->HasItem("downloading")).Remove();
        d.GetType("is_active")->GetItems().Remove();
        d.RemoveDisconnectedItems();
        ItemPtr l_download;
        auto lp_sender = Start(l_download, 100);
        QVERIFY(WaitForStatus(l_download, "downloading"));
        QVERIFY(l_download["download_entry_status"].IsConnected("is_active"));
        QVERIFY(Manager().IsActivelyDownloadingFromUser("bob"));
        const QString l_file = mp_t->Path(u"data"_s);
        dataSaver->Save(l_file);
        Manager().RemoveDownload(l_download);
        QVERIFY(lp_sender->Finish());
        d.RemoveDisconnectedItems();
        dataSaver->Load(l_file);
        ItemPtr l_loaded = Manager().GetDownloadEntry("bob", "a.mp3", "f");
        QVERIFY(l_loaded);
        QCOMPARE(Status(l_loaded), "queued");
        for (const char* lp_type :
             {"download_socket", "download_file", "download_thread", "write_position",
              "last_receipt_time", "bytes_per_second", "remote_transfer_req"})
            QCOMPARE(d.GetType(lp_type)->ItemCount(), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(TransfersTest)
#include "tst_transfers.moc"
