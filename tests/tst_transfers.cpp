// Downloads through real sockets on 127.0.0.1: the client as the downloader, test peers as the
// files' owners, from the owner's offer to the finished file in the complete folder; the
// statuses and what leaving an active one releases; the download queue with its owners; the
// saved state.
#include "Data.h"
#include "DataSaver.h"
#include "DownloadThread.h"
#include "FileConnectionSender.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferHarness.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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

// The fields of message 41 as the test peer read them: token and the accepted flag, or the reason.
struct Answer
{
    quint32 token = 0;
    bool accepted = false;
    QByteArray reason;
};

Answer ReadAnswer(const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    Answer l_answer{l_reader.ReadU32(), l_reader.ReadU8() != 0, {}};
    if (!l_answer.accepted)
        l_answer.reason = l_reader.ReadString();
    return l_answer;
}
} // namespace

class TransfersTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferHarness> mp_t;
    quint32 m_nextToken = 100;

    TransferQueueManager& Manager() { return mp_t->Manager(); }
    TransferPeer& Bob() { return mp_t->Bob(); }
    QString Folder() const { return mp_t->Path(QStringLiteral("D")); }
    QString Path(const QString& i_relative) const
    {
        return Folder() + QLatin1Char('/') + i_relative;
    }

    // The owner offers its file and the client accepts; returns the token.
    quint32 OfferAccepted(TransferPeer& i_owner, const QByteArray& i_path, qint64 i_size)
    {
        const quint32 l_token = m_nextToken++;
        i_owner.Offer(l_token, i_path, quint64(i_size));
        const auto l_fields = i_owner.Take(acceptCode);
        if (!l_fields || !ReadAnswer(*l_fields).accepted || ReadAnswer(*l_fields).token != l_token)
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
        QTest::newRow("fresh") << QByteArray("music\\album") << QByteArray("a.mp3") << 0
                               << QByteArray("album/a.mp3");
        QTest::newRow("resume") << QByteArray("music\\album") << QByteArray("a.mp3") << 1000
                                << QByteArray("album/a.mp3");
        QTest::newRow("whole partial")
            << QByteArray("music") << QByteArray("a.mp3") << 5000 << QByteArray("music/a.mp3");
        QTest::newRow("dot dot") << QByteArray("..\\..") << QByteArray("x") << 0
                                 << QByteArray("__/x");
        QTest::newRow("slashes") << QByteArray("a/..") << QByteArray("b") << 0
                                 << QByteArray("__/b");
        QTest::newRow("empty") << QByteArray("") << QByteArray("") << 0 << QByteArray("_");
        QTest::newRow("control") << QByteArray("d\x01r") << QByteArray("f\x1f") << 0
                                 << QByteArray("d_r/f_");
    }

    void download()
    {
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, name);
        QFETCH(int, partial);
        QFETCH(QByteArray, placed);
        const QByteArray l_bytes = Pattern(5000);
        const QString l_downloading =
            Path(QStringLiteral("downloading/") + QString::fromUtf8(placed));
        QVERIFY(WriteFile(l_downloading, l_bytes.left(partial)));

        ItemPtr l_download =
            Manager().AddDownload("bob", name.toStdString(), folder.toStdString(), 5000, 0);
        auto lp_sender = Bob().SendFile(OfferAccepted(Bob(), folder + '\\' + name, 5000), l_bytes);
        QVERIFY(WaitForStatus(l_download, "complete"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(partial));
        QCOMPARE(ReadFile(Path(QStringLiteral("complete/") + QString::fromUtf8(placed))), l_bytes);
        QVERIFY(!QFile::exists(l_downloading));
        QCOMPARE(d.GetType("complete_download")->ItemCount(), std::size_t(1));
        QVERIFY(!l_download["download_thread"] && !l_download["write_position"]);
    }

    // A name with a NUL byte cannot come over the wire, but can stand in a stored download.
    void nulInNameStaysBelow()
    {
        ItemPtr l_download =
            Manager().AddDownload("bob", std::string("..\0x", 4), std::string("a\0..", 4), 1, 0);
        const QString l_path = Manager().GetDownloadTargetPath(l_download, false);
        QCOMPARE(l_path, QString(Folder()).replace(QLatin1Char('/'), QLatin1Char('\\')) +
                             QStringLiteral("\\downloading\\a_..\\.._x"));
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
        const QByteArray l_nul("x\0..\\..\\y", 9);
        for (bool l_fromList : {true, false})
        {
            const char* lp_source = l_fromList ? "list: " : "result: ";
            QTest::addRow("%sdot dots", lp_source)
                << l_fromList << QByteArray("..\\..\\..") << QByteArray("..") << true;
            QTest::addRow("%sslashes", lp_source) << l_fromList << QByteArray("/etc/../a\\..\\..")
                                                  << QByteArray("../../b") << !l_fromList;
            QTest::addRow("%sroots", lp_source)
                << l_fromList << QByteArray("\\\\host\\..\\C:") << QByteArray("/c") << !l_fromList;
            QTest::addRow("%scontrol characters", lp_source)
                << l_fromList << QByteArray("\x01\\\x1f..\\\x7f") << QByteArray("d\x02\n") << true;
            QTest::addRow("%sNUL", lp_source) << l_fromList << l_nul << l_nul << true;
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
        QByteArray l_storedFolder;
        QByteArray l_storedName;
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
            l_storedFolder = QByteArray::fromStdString(
                l_stored["user_share_folder"]["user_share_folder_name"].AsString());
            l_storedName = QByteArray::fromStdString(l_stored["user_share_file_name"].AsString());
            QCOMPARE(l_storedFolder + '|' + l_storedName,
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
            l_storedFolder =
                QByteArray::fromStdString(l_stored["search_result_file_folder"].AsString());
            l_storedName =
                QByteArray::fromStdString(l_stored["search_result_file_name"].AsString());
            const QByteArray l_path(l_file.name.constData());
            QVERIFY(l_path.startsWith(l_storedFolder) && l_path.endsWith(l_storedName));
        }
        ItemPtr l_download = Manager().AddDownload("bob", l_storedName.toStdString(),
                                                   l_storedFolder.toStdString(), l_bytes.size(), 9);
        // The owner offers the path that the client asks for.
        const quint32 l_token = m_nextToken++;
        Bob().Offer(l_token, l_storedFolder + '\\' + l_storedName, l_bytes.size());
        const auto l_answer = Bob().Take(acceptCode);
        QVERIFY(l_answer);
        QCOMPARE(ReadAnswer(*l_answer).accepted, accepted);
        if (accepted)
        {
            auto lp_sender = Bob().SendFile(l_token, l_bytes);
            QVERIFY(WaitForStatus(l_download, "complete"));
            QVERIFY(lp_sender->Finish());
        }
        QStringList l_copies;
        for (QDirIterator l_files(mp_t->Path(QString()), QDir::Files, QDirIterator::Subdirectories);
             l_files.hasNext();)
            if (ReadFile(l_files.next()) == l_bytes)
                l_copies << l_files.filePath();
        QCOMPARE(l_copies.size(), int(accepted));
        for (const QString& l_copy : l_copies)
            QVERIFY2(l_copy.startsWith(Path(QStringLiteral("complete/"))), qPrintable(l_copy));
    }

    void refusedOffers_data()
    {
        QTest::addColumn<bool>("known");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("no such download") << false << QByteArray("Cancelled");
        QTest::newRow("finished") << true << QByteArray("Complete");
    }

    void refusedOffers()
    {
        QFETCH(bool, known);
        QFETCH(QByteArray, reason);
        if (known)
        {
            QVERIFY(WriteFile(Path(QStringLiteral("complete/f/done.mp3")), "x"));
            QCOMPARE(Status(Manager().AddDownload("bob", "done.mp3", "f", 1, 0)),
                     std::string("complete"));
        }
        Bob().Offer(7, "f\\done.mp3", 1);
        const auto l_fields = Bob().Take(acceptCode);
        QVERIFY(l_fields);
        QCOMPARE(ReadAnswer(*l_fields).accepted, false);
        QCOMPARE(ReadAnswer(*l_fields).reason, reason);
    }

    void unknownTokenIsClosed()
    {
        Manager().AddDownload("bob", "a.mp3", "f", 10, 0);
        auto lp_sender = Bob().SendFile(4242, Pattern(10));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(-1));
        QVERIFY(!QDir(Path(QStringLiteral("downloading"))).exists());
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
        QCOMPARE(ReadFile(Path(QStringLiteral("downloading/f/a.mp3"))), Pattern(1000));
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
            QCOMPARE(Status(l_second), std::string("downloading"));
        Manager().RemoveDownload(l_first);
        QVERIFY(lp_stalled->Finish());
        QCOMPARE(ReadFile(Path(QStringLiteral("downloading/f/a.mp3"))), Pattern(1000));
    }

    // A new offer for a running download stops its thread at once, not after its socket's wait.
    void newOfferStopsRunningDownload()
    {
        ItemPtr l_download;
        auto lp_stalled = Start(l_download, 100);
        QTRY_COMPARE_WITH_TIMEOUT(Written(l_download), qint64(100), timeoutMs);
        const quint64 l_oldSerial = l_download["download_thread"].AsPtr<TransferThread>()->Serial();
        const quint32 l_token = OfferAccepted(Bob(), "f\\a.mp3", 5000);
        QCOMPARE(Status(l_download), std::string("aborted"));
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
        QCOMPARE(Status(l_download), std::string("downloading"));
        Manager().RemoveDownload(l_download);
        QVERIFY(lp_sender->Finish());
        QCOMPARE(ReadFile(Path(QStringLiteral("downloading/f/a.mp3"))), Pattern(1000));
    }

    // A taken name in the complete folder gets a numbered one; a move that cannot be made keeps
    // the partial file and is a local error.
    void completionNames_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QByteArray>("placed");
        QTest::newRow("taken") << QByteArray("complete/f/a.mp3")
                               << QByteArray("complete/f/a (1).mp3");
        QTest::newRow("taken twice") << QByteArray("complete/f/a (1).mp3|complete/f/a.mp3")
                                     << QByteArray("complete/f/a (2).mp3");
        QTest::newRow("no folder") << QByteArray("complete") << QByteArray("downloading/f/a.mp3");
    }

    void completionNames()
    {
        QFETCH(QByteArray, existing);
        QFETCH(QByteArray, placed);
        const QByteArray l_bytes = Pattern(3000);
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", l_bytes.size(), 0);
        for (const QByteArray& l_path : existing.split('|'))
            QVERIFY(WriteFile(Path(QString::fromUtf8(l_path)), "old"));
        const quint32 l_token = OfferAccepted(Bob(), "f\\a.mp3", l_bytes.size());
        const bool l_moves = placed.startsWith("complete");
        const QString l_placed = Path(QString::fromUtf8(placed));
        auto lp_sender = Bob().SendFile(l_token, l_bytes);
        QVERIFY(WaitForStatus(l_download, l_moves ? "complete" : "local error"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(ReadFile(l_placed), l_bytes);
        ItemSet l_records = d.GetType("complete_download")->GetItems();
        QCOMPARE(l_records.size(), l_moves ? std::size_t(1) : std::size_t(0));
        if (l_moves)
            QCOMPARE(
                QString::fromStdString(ItemPtr(l_records)["complete_download_filename"].AsString()),
                QFileInfo(l_placed).fileName());
    }

    // What an entry holds while active goes when it leaves the active status, and only then.
    void statusRelease_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<bool>("released");
        QTest::newRow("queued to downloading")
            << QByteArray("queued") << QByteArray("downloading") << false;
        QTest::newRow("downloading again")
            << QByteArray("downloading") << QByteArray("downloading") << false;
        QTest::newRow("to complete") << QByteArray("downloading") << QByteArray("complete") << true;
        QTest::newRow("to aborted") << QByteArray("downloading") << QByteArray("aborted") << true;
        QTest::newRow("queued to aborted")
            << QByteArray("queued") << QByteArray("aborted") << false;
    }

    void statusRelease()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(bool, released);
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", 1, 0);
        Manager().SetDownloadEntryStatus(l_download, from.toStdString());
        auto* lp_socket = new QTcpSocket;
        auto* lp_file = new QFile(Path(QStringLiteral("x")));
        l_download += d.GetType("download_socket")->GetItem(Value(lp_socket));
        l_download += d.GetType("download_file")->GetItem(Value(lp_file));
        l_download +=
            d.GetType("download_thread")
                ->GetItem(Value(new DownloadThread(lp_socket, lp_file, 1, 0, 0, nullptr)));
        Manager().SetDownloadEntryStatus(l_download, to.toStdString());
        QCOMPARE(Status(l_download), to.toStdString());
        for (const char* lp_type : {"download_socket", "download_file", "download_thread"})
            QCOMPARE(l_download[lp_type].IsNull(), released);
    }

    // The active statuses keep their flag after the collector took them while unused.
    void activeFlagSurvivesCollection()
    {
        // Whatever takes the unused status items (the collector, a store emptied by a data file
        // that could not be read), they come back flagged.
        ItemPtr(d.GetType("download_entry_status")->HasItem("downloading")).Remove();
        d.GetType("is_active")->GetItems().Remove();
        d.RemoveDisconnectedItems();
        ItemPtr l_download;
        auto lp_sender = Start(l_download, 500);
        QVERIFY(WaitForStatus(l_download, "downloading"));
        QVERIFY(l_download["download_entry_status"].IsConnected("is_active"));
        QVERIFY(Manager().IsActivelyDownloadingFromUser("bob"));
        Manager().RemoveDownload(l_download);
        QVERIFY(lp_sender->Finish());
    }

    // Owners' notices: a failure re-queues only what is still wanted; a denial keeps its reason.
    void ownerNotices_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<bool>("requeued");
        QTest::newRow("aborted") << QByteArray("aborted") << true;
        QTest::newRow("complete") << QByteArray("complete") << false;
        QTest::newRow("denied") << QByteArray("denied") << false;
        QTest::newRow("local error") << QByteArray("local error") << false;
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
        QTRY_COMPARE_WITH_TIMEOUT(l_download["place_in_line"].AsString(), std::string("3"),
                                  timeoutMs);
        QCOMPARE(Bob().Count(43) - l_before, requeued ? 1 : 0);
        Bob().Send(TestPeerMessages::UploadDenied("f\\a.mp3", "File not shared."));
        QTRY_COMPARE_WITH_TIMEOUT(l_download["denial_reason"].AsString(),
                                  std::string("File not shared."), timeoutMs);
        QCOMPARE(Status(l_download), std::string("denied"));
    }

    // The queue: one entry per file, numbered from the counter; owners online are asked.
    void addDownload()
    {
        TestSettings::SetSetting("transfer_order_counter", 7);
        const int l_queued = Bob().Count(43);
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", 1, 0);
        QCOMPARE(Manager().AddDownload("bob", "a.mp3", "f", 1, 0), l_download);
        QCOMPARE(l_download["download_order"].AsString(), std::string("7"));
        QCOMPARE(TestSettings::Setting("transfer_order_counter").AsString(), std::string("8"));
        QVERIFY(Bob().Take(51));
        QCOMPARE(Bob().Count(43), l_queued + 1);
        mp_t->Carol().SetOnline(false);
        Manager().AddDownload("carol", "b.mp3", "f", 1, 0);
        Manager().PeriodicCheck();
        mp_t->Carol().SetOnline(true);
        QVERIFY(mp_t->Carol().Take(43));
    }

    // What is saved of a running download: the entry, as queued after loading, and no pointer.
    void saveAndLoad()
    {
        ItemPtr l_download;
        auto lp_sender = Start(l_download, 100);
        QVERIFY(WaitForStatus(l_download, "downloading"));
        const QString l_file = mp_t->Path(QStringLiteral("data"));
        dataSaver->Save(l_file);
        Manager().RemoveDownload(l_download);
        QVERIFY(lp_sender->Finish());
        d.RemoveDisconnectedItems();
        dataSaver->Load(l_file);
        ItemPtr l_loaded = Manager().GetDownloadEntry("bob", "a.mp3", "f");
        QVERIFY(l_loaded);
        QCOMPARE(Status(l_loaded), std::string("queued"));
        for (const char* lp_type :
             {"download_socket", "download_file", "download_thread", "write_position",
              "last_receipt_time", "bytes_per_second", "remote_transfer_req"})
            QCOMPARE(d.GetType(lp_type)->ItemCount(), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(TransfersTest)
#include "tst_transfers.moc"
