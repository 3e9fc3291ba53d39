// Files through the client's services as the application's start-up makes them, over real sockets
// on 127.0.0.1: a shared folder searched, browsed and uploaded; other users' files downloaded.
#include "Data.h"
#include "FileConnectionSender.h"
#include "PeerHarness.h"
#include "SharedFoldersManager.h"
#include "SharingFixture.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace
{
using Messages = TestPeerMessages;
using Ending = FileConnectionSender::Ending;

constexpr int timeoutMs = 60000;
constexpr quint32 searchReplyCode = 9;
constexpr quint32 shareListCode = 5;
constexpr quint32 folderContentsCode = 37;
constexpr quint32 offerCode = 40;
constexpr quint32 answerCode = 41;
constexpr quint32 queueCode = 43;
constexpr quint32 uploadSpeedCode = 121;
// Over 1 MiB, so that the upload's speed is reported.
constexpr qint64 songSize = (3 << 20) / 2 + 17;

QByteArray Pattern(qint64 i_size, int i_seed)
{
    QByteArray l_bytes(i_size, Qt::Uninitialized);
    for (qint64 l_index = 0; l_index < i_size; ++l_index)
        l_bytes[l_index] = char((l_index * 31 + i_seed) % 251);
    return l_bytes;
}

QByteArray ReadFile(const QString& i_path)
{
    QFile l_file(i_path);
    return l_file.open(QIODevice::ReadOnly) ? l_file.readAll() : QByteArray("<missing>");
}

// "name size" of each file, joined by ", ".
QString Describe(const QList<Messages::File>& i_files)
{
    QStringList l_files;
    for (const Messages::File& l_file : i_files)
        l_files << QString::fromUtf8(l_file.name + ' ' + QByteArray::number(l_file.size));
    return l_files.join(QStringLiteral(", "));
}
} // namespace

class TestRoadsFiles : public QObject
{
    Q_OBJECT

    QTemporaryDir m_disk;
    TestPeer m_parents;
    std::unique_ptr<PeerHarness> mp_harness;
    std::unique_ptr<TransferQueueManager> mp_transfers;
    std::unique_ptr<TransferPeer> mp_bob;
    std::unique_ptr<TransferPeer> mp_carol;
    int m_parent = -1;
    quint32 m_token = 900;

    QString Local(const QByteArray& i_path) const
    {
        return m_disk.filePath(QString::fromUtf8(i_path));
    }
    QByteArray Remote(const char* ip_path) const
    {
        return Local(ip_path).toUtf8().replace('/', '\\');
    }

    // The uncompressed content of bob's next reply of the code.
    QByteArray Content(quint32 i_code)
    {
        const QByteArray l_fields = mp_bob->Take(i_code, timeoutMs).value_or("");
        return Messages::CompressedContent(i_code, Messages::Message(i_code, l_fields))
            .value_or(QByteArray());
    }

    // The owner offers the file, the client accepts, and the owner sends it to the end or closes
    // halfway; returns the offset the client asked from once the download is complete or
    // aborted, or -1.
    qint64 Deliver(TransferPeer& i_owner, const QByteArray& i_name, const QByteArray& i_bytes,
                   ItemPtr i_download, Ending i_ending = Ending::Complete)
    {
        const quint32 l_token = ++m_token;
        i_owner.Offer(l_token, "music\\album\\" + i_name, quint64(i_bytes.size()));
        if (i_owner.Take(answerCode, timeoutMs) !=
            WireWriter().WriteU32(l_token).WriteU8(1).Bytes())
            return -1;
        auto lp_sender = i_owner.SendFile(l_token, i_bytes, i_ending, i_bytes.size() / 2);
        const char* lp_status = i_ending == Ending::Complete ? "complete" : "aborted";
        const bool l_ended = QTest::qWaitFor(
            [&] { return i_download["download_entry_status"].AsString() == lp_status; }, timeoutMs);
        return l_ended && lp_sender->Finish(timeoutMs) ? lp_sender->ReceivedOffset() : -1;
    }

    QList<TestServer::ReceivedFrame> SpeedReports() const
    {
        return mp_harness->Central().ReceivedFrames(mp_harness->CentralConnection(),
                                                    uploadSpeedCode);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_disk.isValid());
        QVERIFY(
            SharingFixture::WriteFile(Local("share/Album/blue train.bin"), Pattern(songSize, 7)));
        QVERIFY(SharingFixture::WriteFile(Local("share/Album/notes.txt"), "liner notes"));
        QVERIFY(SharingFixture::WriteFile(Local("share/Other/red.txt"), "red"));
        mp_harness = std::make_unique<PeerHarness>(PeerHarness::Services::WholeClient);
        mp_transfers = std::make_unique<TransferQueueManager>();
        sharedFoldersManager->SetUploadStateProvider(&TransferQueueManager::CurrentUploadState);
        mp_transfers->DataLoaded();
        TestSettings::SetSetting("download_folder", Local("D"));
        const std::string l_share = Local("share").toStdString();
        ItemPtr(d.GetType("shared_folder")->GetItem(l_share)) +=
            d.GetType("shared_public")->GetGlobalNullItem();
        sharedFoldersManager->AddSharedFiles(l_share, l_share);
        QTRY_VERIFY_WITH_TIMEOUT(
            sharedFoldersManager->GetSharedFileItem(Local("share/Other/red.txt").toStdString()),
            timeoutMs);
        mp_bob = std::make_unique<TransferPeer>(*mp_harness, "bob");
        mp_carol = std::make_unique<TransferPeer>(*mp_harness, "carol");
        mp_bob->SetOnline(true);
        mp_carol->SetOnline(true);
        // The server proposes the test parent, which passes other users' searches down.
        QVERIFY(m_parents.Listen());
        m_parent = mp_harness->ProposeParent(m_parents);
        QVERIFY(m_parent >= 0);
    }

    // bob finds the song through the distributed network, then browses the share and a folder.
    void searchAndBrowse()
    {
        m_parents.SendDistributed(m_parent, Messages::DistributedSearch("bob", 501, "blue train"));
        // Taken here, so that the upload's file connection is the next incoming one.
        QVERIFY(mp_bob->Peer().NextIncoming(timeoutMs) >= 0);
        const auto l_reply = Messages::ReadSearchReplyContent(Content(searchReplyCode));
        QVERIFY(l_reply && l_reply->token == 501u);
        QCOMPARE(Describe(l_reply->files),
                 QString::fromUtf8(Remote("share/Album/blue train.bin") + ' ') +
                     QString::number(songSize));

        mp_bob->Send(Messages::GetSharedFileList());
        const auto l_list = Messages::ReadShareListContent(Content(shareListCode));
        QVERIFY(l_list);
        QStringList l_folders;
        for (const Messages::Folder& l_folder : l_list->folders)
            l_folders << QString::fromUtf8(l_folder.name + ": ") + Describe(l_folder.files);
        QCOMPARE(l_folders.filter(QStringLiteral("Album")),
                 QStringList{QString::fromUtf8(Remote("share/Album")) +
                             QStringLiteral(": blue train.bin %1, notes.txt 11").arg(songSize)});

        mp_bob->Send(Messages::GetSharedFilesInFolder(8, Remote("share/Other")));
        const auto l_contents = Messages::ReadFolderContents(Content(folderContentsCode));
        QVERIFY(l_contents);
        QCOMPARE(Describe(l_contents->files), QStringLiteral("red.txt 3"));
    }

    void upload_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("no limit") << 0;
        QTest::newRow("1000 KiB/s") << 1000;
    }

    // bob queues the song and takes every byte of it, no faster than the limit when one is set;
    // the upload's speed reaches the server once the upload is complete.
    void upload()
    {
        QFETCH(int, limit);
        mp_transfers->SetUploadSpeedLimit(limit);
        mp_transfers->EnableUploadSpeedLimit(limit > 0);
        const QByteArray l_song = Remote("share/Album/blue train.bin");
        const qsizetype l_speedReports = SpeedReports().size();
        mp_bob->Queue(l_song);
        WireReader l_offer(mp_bob->Take(offerCode, timeoutMs).value_or(QByteArray()));
        QCOMPARE(l_offer.ReadU32(), 1u);
        const quint32 l_token = l_offer.ReadU32();
        QCOMPARE(l_offer.ReadString(), l_song);
        mp_bob->Accept(l_token);
        QElapsedTimer l_clock;
        l_clock.start();
        quint32 l_connectionToken = 0;
        const int l_connection = mp_bob->TakeFileConnection(l_connectionToken, 0, timeoutMs);
        QCOMPARE(l_connectionToken, l_token);
        QVERIFY(mp_bob->Peer().WaitForRawBytes(l_connection, 4 + songSize, timeoutMs));
        // Half the time the limit implies: a slow machine only makes the transfer slower.
        QVERIFY(l_clock.elapsed() >= (limit > 0 ? songSize * 1000 / (limit * 1024) / 2 : 0));
        QVERIFY(mp_bob->Peer().RawBytes(l_connection).mid(4) == Pattern(songSize, 7));
        mp_bob->Peer().Close(l_connection);
        QTRY_COMPARE_WITH_TIMEOUT(SpeedReports().size(), l_speedReports + 1, timeoutMs);
        const quint32 l_speed = WireReader(SpeedReports().last().body).ReadU32();
        QVERIFY2(l_speed > 0 && (limit == 0 || l_speed <= quint32(2 * limit * 1024)),
                 qPrintable(QString::number(l_speed)));
    }

    void downloadOfTwoOwners_data()
    {
        QTest::addColumn<bool>("bobResumes");
        QTest::newRow("bob's resumed, carol's beside") << true;
        // Both would share one partial file: carol's must not start from bob's bytes.
        QTest::newRow("carol's after bob's cut off") << false;
    }

    // One name is queued from bob and from carol before either file is there (a name already
    // complete would be taken as the download done), then bob's transfer is cut off halfway.
    void downloadOfTwoOwners()
    {
        QFETCH(bool, bobResumes);
        const QByteArray l_name = bobResumes ? "a.bin" : "b.bin";
        const QByteArray l_bobs = Pattern(200000, 3);
        const QByteArray l_carols = Pattern(150000, 5);
        const ItemPtr l_bobsDownload = mp_transfers->AddDownload("bob", l_name.toStdString(),
                                                                 "music\\album", l_bobs.size(), 0);
        const ItemPtr l_carolsDownload = mp_transfers->AddDownload(
            "carol", l_name.toStdString(), "music\\album", l_carols.size(), 0);
        for (TransferPeer* lp_owner : {mp_bob.get(), mp_carol.get()})
            QCOMPARE(WireReader(lp_owner->Take(queueCode, timeoutMs).value_or("")).ReadString(),
                     "music\\album\\" + l_name);
        QCOMPARE(Deliver(*mp_bob, l_name, l_bobs, l_bobsDownload, Ending::Close), qint64(0));
        const QString l_partial = Local("D/downloading/album/" + l_name);
        QCOMPARE(ReadFile(l_partial), l_bobs.left(l_bobs.size() / 2));
        if (bobResumes)
        {
            QCOMPARE(Deliver(*mp_bob, l_name, l_bobs, l_bobsDownload), l_bobs.size() / 2);
            QVERIFY(!QFile::exists(l_partial));
            QVERIFY(ReadFile(Local("D/complete/album/a.bin")) == l_bobs);
        }
        QCOMPARE(Deliver(*mp_carol, l_name, l_carols, l_carolsDownload), qint64(0));
        QVERIFY(ReadFile(Local(bobResumes ? "D/complete/album/a (1).bin"
                                          : "D/complete/album/b.bin")) == l_carols);
    }
};

QTEST_GUILESS_MAIN(TestRoadsFiles)
#include "tst_roads_files.moc"
