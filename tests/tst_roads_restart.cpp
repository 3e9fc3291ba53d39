// The client exits in the middle of its downloads and starts again from its data file. The store
// is one per process, so each run of the client is a child process of this test; its exit code
// also carries what the sanitizer build finds leaked at exit. The central server's restart is
// taken by one client made in this process.
#include "DNetManager.h"
#include "Data.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "FileConnectionSender.h"
#include "FrameClient.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "PortForwarder.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "StoreFunctions.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestServer.h"
#include "TestSettings.h"
#include "TimerManager.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "WireReader.h"
#include "WireWriter.h"
#include "WishListSearcher.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <map>
#include <memory>

#include <unistd.h>

namespace
{
constexpr int timeoutMs = 60000;
constexpr quint32 answerCode = 41;
constexpr quint32 queueCode = 43;
const char* const gp_childArgument = "--run-client";
const QByteArray g_folder = QByteArrayLiteral("music\\album");

// Each download and how many bytes its owner sends before the first exit (0: only queued then).
struct Download
{
    const char* mp_owner;
    const char* mp_name;
    qint64 m_size;
    qint64 m_sentBefore;

    QByteArray Bytes() const
    {
        QByteArray l_bytes(m_size, Qt::Uninitialized);
        for (qint64 l_index = 0; l_index < m_size; ++l_index)
            l_bytes[l_index] = char((l_index * 31 + m_size) % 251);
        return l_bytes;
    }
};
const Download g_downloads[] = {{"bob", "a.bin", 300000, 120000},
                                {"carol", "b.bin", 250000, 70000},
                                {"bob", "c.bin", 90000, 0}};

// The client's services in the order of the application's start-up, on the data file given. It
// adds the downloads on its first run, prints "ready PORT NAME:STATUS..." once logged in, and
// exits as the application does when anything arrives on its standard input.
int RunClient(int argc, char** argv)
{
    QCoreApplication l_application(argc, argv);
    const QString l_dataFile = QString::fromLocal8Bit(argv[2]);
    const bool l_firstRun = !QFile::exists(l_dataFile);
    TimerManager l_timers;
    DataSaver l_saver;
    Server l_server(QStringLiteral("127.0.0.1"), quint16(QByteArray(argv[3]).toUInt()));
    l_server.CreateData();
    portForwarder->UseFixedDevices({}, 0);
    PeerMessenger l_messenger;
    l_messenger.SetListeningAddress(QHostAddress(QHostAddress::LocalHost));
    DeclareSettingsTypes();
    DeclareUserDataTypes();
    DelayedInvoker l_invoker(nullptr);
    DNetManager l_dnet;
    SharedFoldersManager l_sharing;
    TransferQueueManager l_transfers;
    l_sharing.SetUploadStateProvider(&TransferQueueManager::CurrentUploadState);
    WishListSearcher l_wishes;
    // Port 0 is saved, so that each run listens where it can.
    for (const char* lp_port : {"listening_port", "obfuscated_listening_port"})
        SetSetting(lp_port, 0);
    SetSetting("use_upnp", "no");
    SetSetting("username", "me");
    SetSetting("password", "secret");
    SetSetting("download_folder", QString::fromLocal8Bit(argv[4]));
    l_saver.Load(l_dataFile);
    l_sharing.Init();
    const auto l_ready = [&]
    {
        if (l_firstRun)
        {
            for (const Download& l_download : g_downloads)
                l_transfers.AddDownload(l_download.mp_owner, l_download.mp_name,
                                        g_folder.toStdString(), l_download.m_size, 0);
            l_transfers.SetUploadSlots(5);
        }
        QStringList l_statuses;
        for (ItemPtr l_download : d.GetType("download_entry")->GetItems())
            l_statuses << QString::fromStdString(l_download["file_name"].AsString() + ':' +
                                                 l_download["download_entry_status"].AsString());
        l_statuses.sort();
        l_statuses << QStringLiteral("slots:") +
                          QString::fromStdString(SettingValue("upload_slots").AsString());
        std::printf("ready %u %s\n", unsigned(l_messenger.ListeningPort()),
                    qPrintable(l_statuses.join(QLatin1Char(' '))));
        std::fflush(stdout);
    };
    QSocketNotifier l_input(STDIN_FILENO, QSocketNotifier::Read);
    const auto l_quit = [&]
    {
        l_input.setEnabled(false);
        l_server.Disconnect();
        d.RemoveDisconnectedItems();
        l_saver.Save(l_dataFile);
        QCoreApplication::quit();
    };
    QObject::connect(&l_server, &Server::Connected, &l_application, l_ready);
    QObject::connect(&l_input, &QSocketNotifier::activated, &l_application, l_quit);
    l_server.Connect();
    return l_application.exec();
}
} // namespace

class TestRoadsRestart : public QObject
{
    Q_OBJECT

    QTemporaryDir m_disk;
    TestServer m_central;
    // The owners of the files: other users logged in to the test server, with test peers.
    std::map<QByteArray, std::unique_ptr<TestPeer>> m_owners;
    std::vector<std::unique_ptr<FrameClient>> m_logins;
    // Each file queued with its owner, as "owner path", with the connection it came on.
    QMap<QByteArray, int> m_queued;
    // The fields of every answer to an offer.
    QByteArrayList m_answers;
    std::unique_ptr<QProcess> mp_client;
    quint16 m_clientPort = 0;
    quint32 m_lastToken = 100;
    std::vector<std::unique_ptr<FileConnectionSender>> m_senders;

    QString Path(const char* ip_folder, const Download& i_download) const
    {
        return m_disk.filePath(QStringLiteral("D/%1/album/").arg(QLatin1String(ip_folder)) +
                               QLatin1String(i_download.mp_name));
    }

    // The owners log in afresh and the client starts; returns the statuses of its "ready" line.
    QByteArray StartClient()
    {
        m_logins.clear();
        m_owners.clear();
        m_queued.clear();
        m_answers.clear();
        for (const char* lp_name : {"bob", "carol"})
        {
            const auto& lp_owner = m_owners[lp_name] = std::make_unique<TestPeer>();
            if (!lp_owner->Listen())
                qFatal("the owner cannot listen");
            connect(lp_owner.get(), &TestPeer::FrameReceived, this,
                    [this, lp_name](int i_connection, quint32 i_code, const QByteArray& i_fields)
                    {
                        if (i_code == queueCode)
                            m_queued[lp_name + (' ' + WireReader(i_fields).ReadString())] =
                                i_connection;
                        else if (i_code == answerCode)
                            m_answers << i_fields;
                    });
            m_logins.push_back(PeerHarness::LogInPeer(m_central.Port(), lp_name, *lp_owner, false));
        }
        mp_client = std::make_unique<QProcess>();
        mp_client->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mp_client->start(QCoreApplication::applicationFilePath(),
                         {QString::fromLatin1(gp_childArgument),
                          m_disk.filePath(QStringLiteral("data")),
                          QString::number(m_central.Port()), m_disk.filePath(QStringLiteral("D"))});
        (void)QTest::qWaitFor(
            [&] { return mp_client->canReadLine() || mp_client->state() == QProcess::NotRunning; },
            timeoutMs);
        const QByteArrayList l_ready = mp_client->readLine().trimmed().split(' ');
        m_clientPort = l_ready.value(1).toUShort();
        return l_ready.mid(2).join(' ');
    }

    // The owner offers the file, the client accepts, and a sender sends it from the offset the
    // client asks for, stalling after i_stallAt bytes when that is set.
    bool Send(const Download& i_download, qint64 i_stallAt)
    {
        const quint32 l_token = ++m_lastToken;
        const QByteArray l_path = g_folder + '\\' + i_download.mp_name;
        m_owners[i_download.mp_owner]->SendBody(
            m_queued.value(i_download.mp_owner + (' ' + l_path)),
            TestPeerMessages::TransferRequest(1, l_token, l_path, quint64(i_download.m_size)));
        const QByteArray l_accepted = WireWriter().WriteU32(l_token).WriteU8(1).Bytes();
        if (!QTest::qWaitFor([&] { return m_answers.contains(l_accepted); }, timeoutMs))
            return false;
        const auto& lp_sender = m_senders.emplace_back(
            std::make_unique<FileConnectionSender>(m_clientPort, i_download.mp_owner, l_token));
        lp_sender->SetSourceBytes(i_download.Bytes());
        if (i_stallAt > 0)
            lp_sender->SetEnding(FileConnectionSender::Ending::Stall, i_stallAt);
        lp_sender->start();
        return true;
    }

    // The orderly exit; the sanitizer build's leak report makes the exit code non-zero.
    bool QuitClient()
    {
        mp_client->write("quit\n");
        return QTest::qWaitFor([&] { return mp_client->state() == QProcess::NotRunning; },
                               timeoutMs) &&
               mp_client->exitStatus() == QProcess::NormalExit && mp_client->exitCode() == 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_disk.isValid());
        QVERIFY(m_central.Listen());
    }

    // Two downloads are running, with part of their bytes on disk, and one is only queued at the
    // exit; the next run queues all three again, resumes each from where its partial file ends
    // and completes it; the run after finds them all complete. The upload slots chosen on the
    // first run stay through both restarts.
    void downloadsResumeAfterRestart()
    {
        const QByteArrayList l_allQueued = {"bob music\\album\\a.bin", "bob music\\album\\c.bin",
                                            "carol music\\album\\b.bin"};
        QCOMPARE(StartClient(), QByteArray("a.bin:queued b.bin:queued c.bin:queued slots:5"));
        QTRY_COMPARE_WITH_TIMEOUT(m_queued.keys(), l_allQueued, timeoutMs);
        for (const Download& l_download : g_downloads)
            if (l_download.m_sentBefore > 0)
            {
                QVERIFY(Send(l_download, l_download.m_sentBefore));
                QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(Path("downloading", l_download)).size() > 0,
                                         timeoutMs);
            }
        QVERIFY(QuitClient());
        std::vector<qint64> l_partSizes;
        for (const Download& l_download : g_downloads)
        {
            l_partSizes.push_back(QFileInfo(Path("downloading", l_download)).size());
            QVERIFY(l_partSizes.back() <= l_download.m_sentBefore);
            QCOMPARE(l_partSizes.back() > 0, l_download.m_sentBefore > 0);
        }
        for (const auto& lp_sender : m_senders)
            QVERIFY(lp_sender->Finish(timeoutMs));
        m_senders.clear();

        QCOMPARE(StartClient(), QByteArray("a.bin:queued b.bin:queued c.bin:queued slots:5"));
        QTRY_COMPARE_WITH_TIMEOUT(m_queued.keys(), l_allQueued, timeoutMs);
        for (const Download& l_download : g_downloads)
            QVERIFY(Send(l_download, 0));
        for (std::size_t l_index = 0; l_index < m_senders.size(); ++l_index)
        {
            const Download& l_download = g_downloads[l_index];
            QFile l_file(Path("complete", l_download));
            QTRY_COMPARE_WITH_TIMEOUT(l_file.size(), l_download.m_size, timeoutMs);
            QVERIFY(m_senders[l_index]->Finish(timeoutMs));
            QCOMPARE(m_senders[l_index]->ReceivedOffset(), l_partSizes[l_index]);
            QVERIFY(l_file.open(QIODevice::ReadOnly) && l_file.readAll() == l_download.Bytes());
            QVERIFY(!QFile::exists(Path("downloading", l_download)));
        }
        QVERIFY(QuitClient());
        QCOMPARE(StartClient(), QByteArray("a.bin:complete b.bin:complete c.bin:complete slots:5"));
        QVERIFY(m_queued.isEmpty());
        QVERIFY(QuitClient());
    }

    // The central server restarts while bob is logged in, and the client logs in again at the next
    // tick, before bob is back: the new server does not know him yet, and must keep the client's
    // watch of him. A download from bob added meanwhile is queued with him once he logs in again,
    // and completes.
    void downloadAfterServerRestart()
    {
        PeerHarness l_harness(PeerHarness::Services::WholeClient);
        TransferQueueManager l_transfers;
        sharedFoldersManager->SetUploadStateProvider(&TransferQueueManager::CurrentUploadState);
        l_transfers.DataLoaded();
        TestSettings::SetSetting("download_folder", m_disk.filePath(QStringLiteral("R")));
        TransferPeer l_bob(l_harness, "bob");
        // bob's client keeps its connection to this client across the server's restart.
        l_harness.DialIn(l_bob.Peer(), "bob", "P", false);
        QVERIFY(PeerHarness::SocketOf("peer_socket", "bob"));
        l_harness.Client().TrackUser("bob");
        const ItemPtr l_user = d.GetType("user")->GetItem("bob");
        QTRY_VERIFY_WITH_TIMEOUT(l_user.IsConnected("is_online"), timeoutMs);

        l_harness.RestartCentral();
        QTRY_VERIFY_WITH_TIMEOUT(!l_harness.Client().IsConnected(), timeoutMs);
        QSignalSpy l_watched(&l_harness.Client(), &Server::AddUserResponse);
        PeerHarness::Tick();
        QVERIFY(l_watched.wait(timeoutMs));
        QVERIFY(!l_user.IsConnected("is_online"));
        const Download l_later{"bob", "later.bin", 80000, 0};
        const QByteArray l_path = g_folder + '\\' + l_later.mp_name;
        const ItemPtr l_download = l_transfers.AddDownload(
            l_later.mp_owner, l_later.mp_name, g_folder.toStdString(), l_later.m_size, 0);

        l_bob.LogIn();
        QCOMPARE(WireReader(l_bob.Take(queueCode, timeoutMs).value_or("")).ReadString(), l_path);
        l_bob.Offer(++m_lastToken, l_path, quint64(l_later.m_size));
        QCOMPARE(l_bob.Take(answerCode, timeoutMs),
                 WireWriter().WriteU32(m_lastToken).WriteU8(1).Bytes());
        const auto lp_sender = l_bob.SendFile(m_lastToken, l_later.Bytes());
        QTRY_COMPARE_WITH_TIMEOUT(l_download["download_entry_status"].AsString(),
                                  std::string("complete"), timeoutMs);
        QVERIFY(lp_sender->Finish(timeoutMs));
        QFile l_file(m_disk.filePath(QStringLiteral("R/complete/album/later.bin")));
        QVERIFY(l_file.open(QIODevice::ReadOnly) && l_file.readAll() == l_later.Bytes());
    }
};

int main(int argc, char** argv)
{
    if (argc == 5 && qstrcmp(argv[1], gp_childArgument) == 0)
        return RunClient(argc, argv);
    QCoreApplication l_application(argc, argv);
    TestRoadsRestart l_test;
    return QTest::qExec(&l_test, argc, argv);
}

#include "tst_roads_restart.moc"
