// Uploads through real sockets on 127.0.0.1: test peers queue this client's shared files, take
// its offers and its file connections.
#include "AllocationProbe.h"
#include "Data.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestServer.h"
#include "TestSettings.h"
#include "TransferHarness.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "TransferThread.h"
#include "UploadPacer.h"
#include "UploadSpeedLimit.h"
#include "WireReader.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <cmath>
#include <memory>

using namespace Qt::StringLiterals;

namespace
{
constexpr int timeoutMs = TransferHarness::timeoutMs;
constexpr quint32 addUserCode = 5;
constexpr quint32 fileListCode = 5;
constexpr quint32 offerCode = 40;
constexpr quint32 uploadFailedCode = 46;
constexpr quint32 deniedCode = 50;
constexpr quint32 uploadSpeedCode = 121;
constexpr qint64 midSize = 2 << 20;
constexpr qint64 mebibyte = 1 << 20;
constexpr qint64 resizedSize = 3000;

std::string Status(ItemPtr i_upload)
{
    return TransferHarness::Status(i_upload, "upload_entry_status");
}

struct Offer
{
    quint32 token = 0;
    quint64 size = 0;
};
} // namespace

class UploadsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferHarness> mp_t;

    TransferQueueManager& Manager() { return mp_t->Manager(); }
    TransferPeer& Bob() { return mp_t->Bob(); }
    TransferPeer& Carol() { return mp_t->Carol(); }
    QString Share() const { return mp_t->Path(u"share"_s); }
    // The path as peers ask for it.
    QByteArray Remote(const char* ip_name) const
    {
        return (Share() + QLatin1Char('/')).toUtf8().replace('/', '\\') + ip_name;
    }
    void Request(const char* ip_user, const char* ip_name)
    {
        Manager().OnQueueUploadRequested(ip_user, Remote(ip_name).toStdString());
    }
    ItemPtr Upload(const char* ip_user, const char* ip_name)
    {
        ItemPtr l_file =
            sharedFoldersManager->GetSharedFileItem(Share().toStdString() + '/' + ip_name);
        return d.GetItem(d.GetType("user")->GetItem(ip_user), l_file, "upload_entry");
    }
    // The peer, online, queues the file; the offer it then takes, empty if none came.
    Offer Offered(TransferPeer& i_peer, const char* ip_name)
    {
        i_peer.SetOnline(true);
        i_peer.Queue(Remote(ip_name));
        const auto l_fields = i_peer.Take(offerCode);
        if (!l_fields)
            return {};
        WireReader l_reader(*l_fields);
        l_reader.ReadU32();
        const quint32 l_token = l_reader.ReadU32();
        l_reader.ReadString();
        return {l_token, l_reader.ReadU64()};
    }
    // The remote path of a shared folder of 5,000 empty files named 0 to 4999, made once.
    QByteArray ManySharedFiles()
    {
        const QString l_many = mp_t->Path(u"many"_s);
        if (QDir().mkdir(l_many))
        {
            for (int l_index = 0; l_index < 5000; ++l_index)
                QFile(l_many + u"/%1"_s.arg(l_index)).open(QIODevice::WriteOnly);
            SharePublicly(l_many);
        }
        return l_many.toUtf8().replace('/', '\\') + '\\';
    }
    static void SharePublicly(const QString& i_folder)
    {
        ItemPtr(d.GetType("shared_folder")->GetItem(i_folder.toStdString())) +=
            d.GetType("shared_public")->GetGlobalNullItem();
        sharedFoldersManager->AddSharedFiles(i_folder.toStdString(), i_folder.toStdString());
    }
    // The uploads in serving order, as "user:file" without the extension.
    static QString ServingOrder()
    {
        QStringList l_order;
        for (Item* lp_upload :
             d.GetType("upload_entry")->GetItems().SortNumericBy("effective_upload_order", true))
        {
            const std::string l_path = ItemPtr(lp_upload)["filename_as_requested"].AsString();
            l_order.append(QString::fromStdString(ItemPtr(lp_upload)["user"].AsString() + ":" +
                                                  l_path.substr(l_path.find_last_of('\\') + 1)));
        }
        return l_order.join(QLatin1Char(' ')).remove(u".bin"_s);
    }

private slots:
    void initTestCase()
    {
        mp_t = std::make_unique<TransferHarness>();
        QVERIFY(mp_t->IsValid());
        QDir().mkpath(Share());
        const auto l_file = [this](const char* ip_name, qint64 i_size)
        {
            QFile l_file(Share() + QLatin1Char('/') + QLatin1String(ip_name));
            return l_file.open(QIODevice::WriteOnly) && l_file.resize(i_size);
        };
        for (const char* lp_name : {"a.bin", "b.bin", "c.bin", "d.bin"})
            QVERIFY(l_file(lp_name, 3000));
        QVERIFY(l_file("big.bin", (qint64(5) << 30) + 7) && l_file("mid.bin", midSize));
        QVERIFY(l_file("mib.bin", mebibyte) && l_file("mibplus.bin", mebibyte + 1));
        SharePublicly(Share());
    }

    void init()
    {
        mp_t->Reset(false);
        Manager().SetUploadSlots(1);
    }

    void cleanup()
    {
        for (Item* lp_upload : d.GetType("upload_entry")->GetItems())
            Manager().RemoveUpload(lp_upload);
        d.GetType("in_user_list")->GetItems().Remove();
        d.GetType("is_privileged")->GetItems().Remove();
        Manager().EnableUploadSpeedLimit(false);
        Manager().DetermineUploadsEffectiveOrder();
    }

    void cleanupTestCase() { mp_t.reset(); }

    // Priorities ("user=n") and privileges ("user!"), requests in arrival order as "user:file",
    // and the serving order that results.
    void order_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("requests");
        QTest::addColumn<QString>("served");
        QTest::newRow("priority first")
            << u"carol=5"_s << u"bob:a bob:b dave:c carol:d"_s << u"carol:d bob:a bob:b dave:c"_s;
        QTest::newRow("privileged first")
            << u"carol!"_s << u"bob:a carol:b"_s << u"carol:b bob:a"_s;
        QTest::newRow("priority over privilege")
            << u"bob=1 carol!"_s << u"carol:a bob:b"_s << u"bob:b carol:a"_s;
        QTest::newRow("one user by arrival")
            << u"carol=5"_s << u"carol:c carol:a"_s << u"carol:c carol:a"_s;
        QTest::newRow("highest group")
            << u"carol=5,1 bob=3"_s << u"bob:a carol:b"_s << u"carol:b bob:a"_s;
        QTest::newRow("highest group last")
            << u"carol=1,5 bob=3"_s << u"bob:a carol:b"_s << u"carol:b bob:a"_s;
        QTest::newRow("negative is zero")
            << u"bob=-3,-5"_s << u"bob:a carol:b"_s << u"bob:a carol:b"_s;
    }

    void order()
    {
        QFETCH(QString, setup);
        QFETCH(QString, requests);
        QFETCH(QString, served);
        for (const QString& l_term : setup.split(QLatin1Char(' ')))
        {
            const QString l_name = l_term.section(QLatin1Char('='), 0, 0).remove(QLatin1Char('!'));
            ItemPtr l_user = d.GetType("user")->GetItem(l_name.toStdString());
            if (l_term.endsWith(QLatin1Char('!')))
                l_user.NewItem("is_privileged");
            else
            {
                ItemPtr l_listed = l_user.NewItem("in_user_list");
                const QStringList l_groups = l_term.section(QLatin1Char('='), 1).split(u',');
                for (qsizetype l_group = 0; l_group < l_groups.size(); ++l_group)
                    (l_listed += d.GetType("user_list_group")
                                     ->GetItem(l_name.toStdString() + std::to_string(l_group))) +=
                        d.GetType("group_download_priority")->GetItem(l_groups[l_group].toInt());
            }
        }
        for (const QString& l_request : requests.split(QLatin1Char(' ')))
            Request(qPrintable(l_request.section(QLatin1Char(':'), 0, 0)),
                    qPrintable(l_request.section(QLatin1Char(':'), 1) + u".bin"_s));
        // Requests that go ahead of others are placed when loading ends, as after a cut-off save.
        Manager().DataLoaded();
        QCOMPARE(ServingOrder(), served);
        Manager().DetermineUploadsEffectiveOrder();
        QCOMPARE(ServingOrder(), served);
    }

    // Refusals carry the reason and leave nothing behind; unsharing a user refuses and removes
    // every upload of theirs, whatever its status.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("unshared");
        QTest::newRow("not in the index") << "nowhere\\x.bin"_ba << false;
        QTest::newRow("user unshared") << "a.bin"_ba << true;
    }

    void refusals()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, unshared);
        Bob().SetOnline(true);
        if (unshared)
        {
            for (const char* lp_name : {"a.bin", "b.bin", "c.bin"})
                Request("bob", lp_name);
            Manager().SetUploadEntryStatus(Upload("bob", "c.bin"), "complete");
            Manager().UnshareUser("bob");
            for (int l_denial = 0; l_denial < 3; ++l_denial)
                QVERIFY(Bob().Take(deniedCode));
            QCOMPARE(d.GetType("upload_entry")->ItemCount(), std::size_t(0));
        }
        const QByteArray l_path = unshared ? Remote(file.constData()) : file;
        Bob().Queue(l_path);
        const auto l_denial = Bob().Take(deniedCode);
        QVERIFY(l_denial);
        WireReader l_reader(*l_denial);
        QCOMPARE(l_reader.ReadString(), l_path);
        QCOMPARE(l_reader.ReadString(), "File not shared."_ba);
        QCOMPARE(d.GetType("upload_entry")->ItemCount(), std::size_t(0));
        Manager().ReshareUser("bob");
    }

    // One offer per free slot and per user; more slots offer at once; counts stay exact.
    void uploadSlots()
    {
        Request("bob", "a.bin");
        Request("bob", "b.bin");
        Request("carol", "c.bin");
        QVERIFY(Manager().IsFreeToUpload());
        Bob().SetOnline(true);
        Carol().SetOnline(true);
        const auto l_first = Bob().Take(offerCode);
        QVERIFY(l_first && l_first->contains(Remote("a.bin")));
        QVERIFY(!Manager().IsFreeToUpload());
        QCOMPARE(Manager().QueuedUploadCount(), 2);
        for (int l_ignored : {0, 100})
            Manager().SetUploadSlots(l_ignored);
        QCOMPARE(TestSettings::Setting("upload_slots").AsString(), "1");
        Manager().SetUploadSlots(3);
        QVERIFY(Carol().Take(offerCode));
        QCOMPARE(Status(Upload("bob", "b.bin")), "queued");
        QVERIFY(Manager().IsFreeToUpload());
    }

    // A file of more than 4 GiB is offered with its size; a refusal keeps the peer's reason.
    void largeOfferRefused()
    {
        const Offer l_offer = Offered(Bob(), "big.bin");
        QCOMPARE(l_offer.size, (quint64(5) << 30) + 7);
        Bob().Refuse(l_offer.token, "Queued");
        QTRY_COMPARE_WITH_TIMEOUT(Status(Upload("bob", "big.bin")), "denied", timeoutMs);
        QCOMPARE(Upload("bob", "big.bin")["denial_reason"].AsString(), "Queued");
    }

    // A file rewritten at another length since the scan is offered at the length it has then,
    // which the index takes; the bytes sent are those offered, and a file that shrank after its
    // offer fails the upload rather than leave the downloader waiting.
    void offeredSize_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("afterOffer");
        QTest::newRow("shrunk") << qint64(1000) << false;
        QTest::newRow("grown") << qint64(5000) << false;
        QTest::newRow("grown after the offer") << qint64(5000) << true;
        QTest::newRow("shrunk after the offer") << qint64(1000) << true;
    }

    void offeredSize()
    {
        QFETCH(qint64, size);
        QFETCH(bool, afterOffer);
        QByteArray l_bytes(5000, Qt::Uninitialized);
        for (qsizetype l_index = 0; l_index < l_bytes.size(); ++l_index)
            l_bytes[l_index] = char(l_index * 7);
        const auto l_write = [&](qint64 i_size)
        {
            QFile l_file(Share() + u"/resized.bin"_s);
            return l_file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                   l_file.write(l_bytes.left(i_size)) == i_size;
        };
        QVERIFY(l_write(resizedSize));
        sharedFoldersManager->AddSharedFiles(Share().toStdString(), Share().toStdString());
        if (!afterOffer)
            QVERIFY(l_write(size));
        const Offer l_offer = Offered(Bob(), "resized.bin");
        const qint64 l_offered = afterOffer ? resizedSize : size;
        QCOMPARE(l_offer.size, quint64(l_offered));
        ItemPtr l_upload = Upload("bob", "resized.bin");
        QCOMPARE(l_upload["shared_file"]["shared_file_size"].AsInt64(), l_offered);
        if (afterOffer)
            QVERIFY(l_write(size));
        Bob().Accept(l_offer.token);
        quint32 l_token = 0;
        const int l_connection = Bob().TakeFileConnection(l_token, 0);
        QVERIFY(l_connection >= 0);
        // The short read of a shrunk file comes before its block is sent.
        const bool l_completes = size >= l_offered;
        const qint64 l_sent = l_completes ? l_offered : 0;
        QVERIFY(Bob().Peer().WaitForRawBytes(l_connection, 4 + l_sent, timeoutMs));
        if (l_completes)
            Bob().Peer().Close(l_connection);
        QTRY_COMPARE_WITH_TIMEOUT(Status(l_upload), l_completes ? "complete" : "aborted",
                                  timeoutMs);
        QVERIFY(l_completes || Bob().Take(uploadFailedCode));
        QCOMPARE(Bob().Peer().RawBytes(l_connection).mid(4), l_bytes.left(l_sent));
        Bob().Peer().Abort(l_connection);
    }

    // A reply that cannot be compressed, memory having run out, is logged and not sent; the
    // client goes on, and answers the next request.
    void replyNotCompressed()
    {
        const QString l_wide = mp_t->Path(u"wide"_s);
        QVERIFY(QDir().mkdir(l_wide));
        // A list of about 300 KB: its compression takes a buffer of about 600 KB.
        for (int l_index = 0; l_index < 2000; ++l_index)
            QVERIFY(QFile(l_wide + u"/%1"_s.arg(l_index, 140, 10, QLatin1Char('0')))
                        .open(QIODevice::WriteOnly));
        SharePublicly(l_wide);
        const qsizetype l_lines = mp_t->Peers().LogLines(u"Shared"_s).size();
        const auto l_failures = [&]
        {
            return mp_t->Peers()
                .LogLines(u"Shared"_s)
                .mid(l_lines)
                .filter(u"Could not compress the file list"_s)
                .size();
        };
        Bob().SetOnline(true);
        AllocationProbe::RefuseAbove(512 << 10);
        Bob().Send(TestPeerMessages::GetSharedFileList());
        // The list is compressed on a worker thread: the refusal lasts until it has failed.
        QTRY_COMPARE_WITH_TIMEOUT(l_failures(), 1, 30000);
        AllocationProbe::RefuseAbove(0);
        // Answered in order: anything sent for the list request comes before the refusal.
        Bob().Queue("nowhere\\x.bin");
        QVERIFY(Bob().Take(deniedCode));
        QCOMPARE(Bob().Count(fileListCode), 0);
        QCOMPARE(l_failures(), 1);
        Bob().Send(TestPeerMessages::GetSharedFileList());
        QVERIFY(Bob().Take(fileListCode));
    }

    // From the queue request to the last byte; the speed of a file over 1 MiB (not of one of
    // exactly 1 MiB) reaches the server when bytes were sent, paced to the limit when one is set.
    void uploadToCompletion_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<bool>("completes");
        QTest::newRow("whole") << 0 << "mid.bin"_ba << midSize << qint64(0) << true;
        QTest::newRow("resumed") << 0 << "mid.bin"_ba << midSize << mebibyte << true;
        QTest::newRow("nothing left") << 0 << "mid.bin"_ba << midSize << midSize << true;
        QTest::newRow("past the end") << 0 << "mid.bin"_ba << midSize << midSize + 1 << false;
        QTest::newRow("negative") << 0 << "mid.bin"_ba << midSize << qint64(-1) << false;
        QTest::newRow("paced") << 512 << "mid.bin"_ba << midSize << qint64(0) << true;
        QTest::newRow("exactly 1 MiB") << 0 << "mib.bin"_ba << mebibyte << qint64(0) << true;
        QTest::newRow("a byte more") << 0 << "mibplus.bin"_ba << mebibyte + 1 << qint64(0) << true;
    }

    void uploadToCompletion()
    {
        QFETCH(int, limit);
        QFETCH(QByteArray, file);
        QFETCH(qint64, size);
        QFETCH(qint64, offset);
        QFETCH(bool, completes);
        Manager().SetUploadSpeedLimit(limit);
        Manager().EnableUploadSpeedLimit(limit > 0);
        PeerHarness& l_peers = mp_t->Peers();
        const auto l_frames = [&](quint32 i_code)
        { return l_peers.Central().ReceivedFrames(l_peers.CentralConnection(), i_code).size(); };
        const auto l_reportsBefore = l_frames(uploadSpeedCode);
        const Offer l_offer = Offered(Bob(), file.constData());
        Bob().Accept(l_offer.token);
        quint32 l_token = 0;
        QElapsedTimer l_timer;
        l_timer.start();
        const int l_connection = Bob().TakeFileConnection(l_token, offset);
        QVERIFY(l_connection >= 0);
        QCOMPARE(l_token, l_offer.token);
        const qint64 l_expected = completes ? size - offset : 0;
        QVERIFY(Bob().Peer().WaitForRawBytes(l_connection, 4 + l_expected, 60000));
        const qint64 l_elapsed = l_timer.elapsed();
        Bob().Peer().Close(l_connection);
        QTRY_COMPARE_WITH_TIMEOUT(Status(Upload("bob", file.constData())),
                                  completes ? "complete" : "aborted", timeoutMs);
        if (!completes)
            QVERIFY(Bob().Take(uploadFailedCode));
        // A report would reach the server before a message sent after the upload's end.
        const auto l_addedBefore = l_frames(addUserCode);
        gp_server->AddUser("sentinel");
        QTRY_COMPARE_WITH_TIMEOUT(l_frames(addUserCode), l_addedBefore + 1, timeoutMs);
        QCOMPARE(l_frames(uploadSpeedCode), l_reportsBefore + (size > mebibyte && l_expected > 0));
        QCOMPARE(Bob().Peer().RawBytes(l_connection).mid(4), QByteArray(l_expected, '\0'));
        // 2 MiB at 512 KiB/s takes 4 s; at twice the limit it would take 2.
        QVERIFY(limit == 0 || l_elapsed > 2000);
    }

    // Each upload gets an equal share of the limit, never less than 1.
    void limitShares_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("active");
        QTest::addColumn<int>("share");
        QTest::newRow("two share") << 100 << true << 2 << 50;
        QTest::newRow("at least one") << 1 << true << 3 << 1;
        QTest::newRow("none active") << 100 << true << 0 << 100;
        QTest::newRow("zero") << 0 << true << 2 << 0;
        QTest::newRow("disabled") << 100 << false << 2 << 0;
    }

    void limitShares()
    {
        QFETCH(int, limit);
        QFETCH(bool, enabled);
        QFETCH(int, active);
        QFETCH(int, share);
        for (const char* lp_name : {"a.bin", "b.bin", "c.bin"})
            if (active-- > 0)
            {
                Request("bob", lp_name);
                Manager().SetUploadEntryStatus(Upload("bob", lp_name), "uploading");
            }
        Manager().SetUploadSpeedLimit(limit);
        Manager().EnableUploadSpeedLimit(enabled);
        QCOMPARE(Manager().SpeedLimit().PerUpload(), share);
        QCOMPARE(Manager().GetUploadSpeed(), share == 0 ? 0 : limit);
    }

    // Blocks paced against a clock that only the test moves: each block costs some time to send,
    // and each sleep lasts longer than asked, as a busy machine's do. The rate over ten simulated
    // seconds stays within 5% of the limit, however fast the blocks go.
    void pacing_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<qint64>("sendNanoseconds");
        QTest::addColumn<qint64>("oversleepNanoseconds");
        QTest::newRow("100 KB/s") << 100 << qint64(20000) << qint64(60000);
        QTest::newRow("10,000 KB/s") << 10000 << qint64(20000) << qint64(60000);
        QTest::newRow("50,000 KB/s") << 50000 << qint64(20000) << qint64(60000);
        QTest::newRow("50,000 KB/s, millisecond sleeps") << 50000 << qint64(0) << qint64(1000000);
        QTest::newRow("2,000,000 KB/s") << 2000000 << qint64(1000) << qint64(60000);
    }

    void pacing()
    {
        QFETCH(int, limit);
        QFETCH(qint64, sendNanoseconds);
        QFETCH(qint64, oversleepNanoseconds);
        constexpr qint64 l_seconds = 10;
        constexpr qint64 l_block = TransferThread::BlockSize;
        qint64 l_now = 1000;
        UploadSpeedLimit l_limit;
        l_limit.Set(limit, limit);
        UploadPacer l_pacer(&l_limit, [&l_now] { return l_now; });
        l_pacer.Start();
        const qint64 l_start = l_now;
        qint64 l_sent = 0;
        qint64 l_lastBlockAt = l_now;
        while (l_lastBlockAt - l_start < l_seconds * 1000000000)
        {
            l_pacer.ReadShare();
            for (qint64 l_wait = l_pacer.Delay(); l_wait > 0; l_wait = l_pacer.Delay())
                l_now += l_wait + oversleepNanoseconds;
            // The rate counts the bytes before the last block over the time to it.
            l_lastBlockAt = l_now;
            l_pacer.Sent(l_block);
            l_sent += l_block;
            l_now += sendNanoseconds;
        }
        const double l_rate =
            double(l_sent - l_block) * 1e9 / double(l_lastBlockAt - l_start) / 1024.0;
        QVERIFY2(std::abs(l_rate - limit) <= 0.05 * limit, qPrintable(QString::number(l_rate)));
    }

    // Hand-shake phases that hang end after 30 s; the next upload is offered in the same run.
    void phaseTimeOut_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<int>("age");
        QTest::addColumn<bool>("aborted");
        QTest::newRow("requesting, 29 s") << "requesting"_ba << 29 << false;
        QTest::newRow("requesting, 31 s") << "requesting"_ba << 31 << true;
        QTest::newRow("connecting, 40 s") << "connecting"_ba << 40 << true;
        QTest::newRow("uploading, an hour") << "uploading"_ba << 3600 << false;
    }

    void phaseTimeOut()
    {
        QFETCH(QByteArray, status);
        QFETCH(int, age);
        QFETCH(bool, aborted);
        Request("bob", "a.bin");
        Request("carol", "b.bin");
        ItemPtr l_stuck = Upload("bob", "a.bin");
        Manager().SetUploadEntryStatus(l_stuck, status.toStdString());
        l_stuck += d.GetType("last_status_change_time")
                       ->GetItem(QDateTime::currentDateTime().addSecs(-age).toString(Qt::TextDate));
        Bob().SetOnline(true);
        Carol().SetOnline(true);
        Manager().EveryHalfMinute();
        QCOMPARE(Status(l_stuck), aborted ? "aborted" : status.toStdString());
        QVERIFY(!aborted || (Bob().Take(uploadFailedCode) && Carol().Take(offerCode)));
        QCOMPARE(Status(Upload("carol", "b.bin")), aborted ? "requesting" : "queued");
    }

    // Queued downloads ask their owner for the place in line at most every ten minutes.
    void placeInLineRepeats()
    {
        Bob().SetOnline(true);
        ItemPtr l_download = Manager().AddDownload("bob", "x.mp3", "f", 1, 0);
        QVERIFY(Bob().Take(51));
        Manager().EveryHalfMinute();
        QVERIFY(Bob().Take(51));
        Manager().EveryHalfMinute();
        QVERIFY(!Bob().Take(51, 300));
        Manager().RemoveDownload(l_download);
    }

    // A downloader that goes silent on the file connection, before its offset or while the file
    // flows, is dropped after the socket's wait; the slot goes to the next in line.
    void silentDownloader_data()
    {
        QTest::addColumn<bool>("sendsOffset");
        QTest::newRow("never sends its offset") << false;
        QTest::newRow("stops reading") << true;
    }

    void silentDownloader()
    {
        QFETCH(bool, sendsOffset);
        TransferThread::SetWaitMilliseconds(300);
        const Offer l_offer = Offered(Bob(), "big.bin");
        Carol().SetOnline(true);
        Carol().Queue(Remote("a.bin"));
        Bob().Accept(l_offer.token);
        quint32 l_token = 0;
        const int l_connection = Bob().TakeFileConnection(
            l_token, sendsOffset ? std::optional<qint64>(0) : std::nullopt);
        QVERIFY(l_connection >= 0);
        if (sendsOffset)
            Bob().Peer().StopReading(l_connection);
        ItemPtr l_upload = Upload("bob", "big.bin");
        QTRY_COMPARE_WITH_TIMEOUT(Status(l_upload), "aborted", timeoutMs);
        QVERIFY(Bob().Take(uploadFailedCode));
        for (const char* lp_type : {"upload_socket", "upload_file", "upload_thread"})
            QVERIFY2(!l_upload[lp_type], lp_type);
        QVERIFY(Carol().Take(offerCode));
        Bob().Peer().Abort(l_connection);
    }

    // However many requests one user sends, there is one entry per file, each of a bounded size;
    // a very long queue is logged once, and other users are still answered.
    void manyQueuedUploads_data()
    {
        QTest::addColumn<bool>("distinct");
        QTest::addColumn<bool>("privilegedBehindQueue");
        QTest::newRow("5,000 files") << true << false;
        QTest::newRow("one file 5,000 times") << false << false;
        // Each of his entries goes ahead of the others' and moves all of them back.
        QTest::newRow("privileged, behind 5,000") << true << true;
    }

    void manyQueuedUploads()
    {
        QFETCH(bool, distinct);
        QFETCH(bool, privilegedBehindQueue);
        constexpr int l_requests = 5000;
        // The first file is offered, and a second slot stays free.
        Bob().SetOnline(true);
        Carol().SetOnline(true);
        Manager().SetUploadSlots(2);
        const QByteArray l_remote = ManySharedFiles();
        // Each peer's queue ends with a refusal, which comes once all before it were handled.
        const auto l_queue = [&](TransferPeer& i_peer, bool i_distinct)
        {
            for (int l_index = 0; l_index < l_requests; ++l_index)
                i_peer.Queue(l_remote + QByteArray::number(i_distinct ? l_index : 0));
            i_peer.Queue("nowhere\\x.bin");
            return bool(i_peer.Take(deniedCode, 120000));
        };
        if (privilegedBehindQueue)
        {
            QVERIFY(l_queue(Carol(), true));
            ItemPtr(d.GetType("user")->GetItem("bob")).NewItem("is_privileged");
        }
        const qsizetype l_lines = mp_t->Peers().LogLines(u"Transfer Queue"_s).size();
        AllocationProbe l_probe;
        QVERIFY(l_queue(Bob(), distinct));
        l_probe.Stop();
        Carol().Queue("nowhere\\y.bin");
        QVERIFY(Carol().Take(deniedCode));
        const int l_entries = distinct ? l_requests : 1;
        QCOMPARE(Manager().QueuedUploadCount(),
                 l_entries - 1 + (privilegedBehindQueue ? l_requests - 1 : 0));
        // Each request's work is its own, not the queue's.
        QVERIFY(l_probe.Peak() < std::size_t(l_entries) * 4096 + (1 << 20));
        QVERIFY(l_probe.Allocated() < std::size_t(l_requests) * 16384);
        const QStringList l_logged = mp_t->Peers().LogLines(u"Transfer Queue"_s).mid(l_lines);
        QCOMPARE(l_logged.filter(u"more than 1000 queued uploads"_s).size(), distinct ? 1 : 0);
        QVERIFY(!privilegedBehindQueue || ServingOrder().startsWith(u"bob:0 bob:1 "_s));
    }

    // The line about a long queue names the user as sent: no "%" in a name takes the number
    // meant for the line.
    void queueLimitNamesTheUser_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::newRow("bob%2") << QByteArray("bob%2");
    }
    void queueLimitNamesTheUser()
    {
        QFETCH(QByteArray, user);
        const QByteArray l_remote = ManySharedFiles();
        const qsizetype l_lines = mp_t->Peers().LogLines(u"Transfer Queue"_s).size();
        for (int l_index = 0; l_index <= 1000; ++l_index)
            Manager().OnQueueUploadRequested(
                user.toStdString(), (l_remote + QByteArray::number(l_index)).toStdString());
        QCOMPARE(mp_t->Peers().LogLines(u"Transfer Queue"_s).mid(l_lines).filter(u"queued up"_s),
                 QStringList{u"User "_s + QString::fromUtf8(user) +
                             u" holds more than 1000 queued uploads"_s});
    }
};

QTEST_GUILESS_MAIN(UploadsTest)
#include "tst_uploads.moc"
