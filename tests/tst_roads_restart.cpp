// The client shut down in the middle of its downloads and started again from its data file, over
// real sockets on 127.0.0.1. The store is one per process, so each run of the client is a child
// process of this test with the client's services made as the start-up of the application makes
// them; the parent holds the test server and the owners' test peers and reads the files.
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
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "WireReader.h"
#include "WireWriter.h"
#include "WishListSearcher.h"

#include <QFileInfo>
#include <QProcess>
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
const QByteArray g_remoteFolder = QByteArrayLiteral("music\\album");

// Each download and, when it is running at the shut-down, how many bytes its owner sent first.
struct Download
{
    const char* mp_owner;
    const char* mp_name;
    qint64 m_size;
    qint64 m_sentBefore;
};
const Download g_downloads[] = {
    {"bob", "a.bin", 300000, 120000},
    {"carol", "b.bin", 250000, 70000},
    {"bob", "c.bin", 90000, 0},
};

QByteArray Bytes(const Download& i_download)
{
    QByteArray l_bytes(i_download.m_size, Qt::Uninitialized);
    for (qint64 l_index = 0; l_index < i_download.m_size; ++l_index)
        l_bytes[l_index] = char((l_index * 31 + i_download.m_size) % 251);
    return l_bytes;
}

QByteArray RemotePath(const Download& i_download)
{
    return g_remoteFolder + '\\' + i_download.mp_name;
}

// The client with the application's services in the order its start-up makes them, on the data
// file, logged in to the test server at the port. It adds the downloads on its first run, says
// "ready PORT NAME:STATUS..." with its listening port and its downloads once logged in, and exits
// as the application does (its data file saved, then its services ended) when anything arrives on
// its standard input.
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
    WishListSearcher l_wishes;
    // The data file keeps port 0, so that each run listens where it can.
    for (const char* lp_port : {"listening_port", "obfuscated_listening_port"})
        SetSetting(lp_port, 0);
    SetSetting("use_upnp", "no");
    SetSetting("username", "me");
    SetSetting("password", "secret");
    SetSetting("download_folder", QString::fromLocal8Bit(argv[4]));
    l_saver.Load(l_dataFile);
    l_sharing.Init();
    QObject::connect(&l_server, &Server::Connected, &l_application,
                     [&]
                     {
                         if (l_firstRun)
                             for (const Download& l_download : g_downloads)
                                 l_transfers.AddDownload(l_download.mp_owner, l_download.mp_name,
                                                         g_remoteFolder.toStdString(),
                                                         l_download.m_size, 0);
                         QStringList l_statuses;
                         for (Item* lp_download : d.GetType("download_entry")->GetItems())
                             l_statuses << QString::fromStdString(
                                 ItemPtr(lp_download)["file_name"].AsString() + ':' +
                                 ItemPtr(lp_download)["download_entry_status"].AsString());
                         l_statuses.sort();
                         std::printf("ready %u %s\n", unsigned(l_messenger.ListeningPort()),
                                     qPrintable(l_statuses.join(QLatin1Char(' '))));
                         std::fflush(stdout);
                     });
    QSocketNotifier l_input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&l_input, &QSocketNotifier::activated, &l_application,
                     [&]
                     {
                         l_input.setEnabled(false);
                         l_server.Disconnect();
                         d.RemoveDisconnectedItems();
                         l_saver.Save(l_dataFile);
                         QCoreApplication::quit();
                     });
    l_server.Connect();
    return l_application.exec();
}

// An owner of files: another user logged in to the test server, with a test peer as its client.
struct Owner
{
    TestPeer m_peer;
    std::unique_ptr<FrameClient> mp_central;

    // The fields of every message of the code that came on the owner's messaging connections,
    // each with its connection.
    QList<QPair<int, QByteArray>> Received(quint32 i_code) const
    {
        QList<QPair<int, QByteArray>> l_found;
        for (int l_connection : m_peer.ConnectionIds())
            if (m_peer.GetMode(l_connection) == TestPeer::Mode::Peer)
                for (const TestPeer::Frame& l_frame : m_peer.Frames(l_connection))
                    if (l_frame.code == i_code)
                        l_found.append({l_connection, l_frame.fields});
        return l_found;
    }
};
} // namespace

class TestRoadsRestart : public QObject
{
    Q_OBJECT

    QTemporaryDir m_disk;
    TestServer m_central;
    std::map<QByteArray, std::unique_ptr<Owner>> m_owners;
    std::unique_ptr<QProcess> mp_client;
    quint16 m_clientPort = 0;

    // Where the client keeps the download: in the "downloading" or the "complete" folder.
    QString Path(const char* ip_folder, const Download& i_download) const
    {
        return m_disk.filePath(
            QStringLiteral("D/%1/album/%2")
                .arg(QLatin1String(ip_folder), QLatin1String(i_download.mp_name)));
    }

    // Every file the client has queued with its owner, as "owner path", each once, in order.
    QStringList Queued() const
    {
        QStringList l_queued;
        for (const auto& [l_name, lp_owner] : m_owners)
            for (const auto& l_message : lp_owner->Received(queueCode))
                l_queued << QString::fromUtf8(l_name + ' ' +
                                              WireReader(l_message.second).ReadString());
        l_queued.sort();
        l_queued.removeDuplicates();
        return l_queued;
    }

    // The owners log in afresh, then the client starts with every download in the status; waits
    // until it has queued every unfinished download with its owner.
    void StartClient(const char* ip_status)
    {
        m_owners.clear();
        QStringList l_queued;
        QStringList l_statuses;
        for (const Download& l_download : g_downloads)
        {
            l_statuses << QStringLiteral("%1:%2").arg(QLatin1String(l_download.mp_name),
                                                      QLatin1String(ip_status));
            if (qstrcmp(ip_status, "queued") == 0)
                l_queued << QString::fromUtf8(l_download.mp_owner + (' ' + RemotePath(l_download)));
            std::unique_ptr<Owner>& lp_owner = m_owners[l_download.mp_owner];
            if (lp_owner)
                continue;
            lp_owner = std::make_unique<Owner>();
            QVERIFY(lp_owner->m_peer.Listen());
            lp_owner->mp_central = PeerHarness::LogInPeer(m_central.Port(), l_download.mp_owner,
                                                          lp_owner->m_peer, false);
        }
        mp_client = std::make_unique<QProcess>();
        mp_client->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mp_client->start(QCoreApplication::applicationFilePath(),
                         {QString::fromLatin1(gp_childArgument),
                          m_disk.filePath(QStringLiteral("data")),
                          QString::number(m_central.Port()), m_disk.filePath(QStringLiteral("D"))});
        QTRY_VERIFY_WITH_TIMEOUT(
            mp_client->canReadLine() || mp_client->state() == QProcess::NotRunning, timeoutMs);
        const QStringList l_ready =
            QString::fromUtf8(mp_client->readLine().trimmed()).split(QLatin1Char(' '));
        QCOMPARE(l_ready.value(0), QStringLiteral("ready"));
        m_clientPort = quint16(l_ready.value(1).toUInt());
        QCOMPARE(l_ready.mid(2), l_statuses);
        l_queued.sort();
        QTRY_COMPARE_WITH_TIMEOUT(Queued(), l_queued, timeoutMs);
    }

    // The owner offers the file under the token, the client accepts, and the owner sends it
    // from the offset the client asks for, to the end or only up to a point and then stalls.
    std::unique_ptr<FileConnectionSender> Send(const Download& i_download, quint32 i_token,
                                               qint64 i_stallAt)
    {
        Owner& l_owner = *m_owners[i_download.mp_owner];
        const int l_connection = l_owner.Received(queueCode).first().first;
        l_owner.m_peer.SendBody(
            l_connection, TestPeerMessages::TransferRequest(1, i_token, RemotePath(i_download),
                                                            quint64(i_download.m_size)));
        const QPair<int, QByteArray> l_accepted = {
            l_connection, WireWriter().WriteU32(i_token).WriteU8(1).Bytes()};
        if (!QTest::qWaitFor([&] { return l_owner.Received(answerCode).contains(l_accepted); },
                             timeoutMs))
            qWarning("the offer of %s was not accepted", i_download.mp_name);
        auto lp_sender =
            std::make_unique<FileConnectionSender>(m_clientPort, i_download.mp_owner, i_token);
        lp_sender->SetSourceBytes(Bytes(i_download));
        if (i_stallAt > 0)
            lp_sender->SetEnding(FileConnectionSender::Ending::Stall, i_stallAt);
        lp_sender->start();
        return lp_sender;
    }

    // The orderly exit of the client.
    void QuitClient()
    {
        mp_client->write("quit\n");
        QTRY_VERIFY_WITH_TIMEOUT(mp_client->state() == QProcess::NotRunning, timeoutMs);
        QCOMPARE(mp_client->exitStatus(), QProcess::NormalExit);
        QCOMPARE(mp_client->exitCode(), 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_disk.isValid());
        QVERIFY(m_central.Listen());
    }

    void cleanupTestCase()
    {
        mp_client.reset();
        m_owners.clear();
    }

    // Two downloads are running, with part of their bytes on disk, and one is only queued when
    // the client exits; started again, it queues all three with their owners, resumes the two
    // from where their partial files end and completes every file.
    void downloadsResumeAfterRestart()
    {
        StartClient("queued");
        QVERIFY(!QTest::currentTestFailed());
        std::vector<std::unique_ptr<FileConnectionSender>> l_senders;
        for (const Download& l_download : g_downloads)
            if (l_download.m_sentBefore > 0)
            {
                l_senders.push_back(
                    Send(l_download, 100 + quint32(l_senders.size()), l_download.m_sentBefore));
                QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(Path("downloading", l_download)).size() > 0,
                                         timeoutMs);
            }
        QuitClient();
        QVERIFY(!QTest::currentTestFailed());
        std::vector<qint64> l_partSizes;
        for (const Download& l_download : g_downloads)
        {
            l_partSizes.push_back(QFileInfo(Path("downloading", l_download)).size());
            QVERIFY(l_partSizes.back() <= l_download.m_sentBefore);
            QCOMPARE(l_partSizes.back() > 0, l_download.m_sentBefore > 0);
        }
        for (const auto& lp_sender : l_senders)
            QVERIFY(lp_sender->Finish(timeoutMs));
        l_senders.clear();

        StartClient("queued");
        QVERIFY(!QTest::currentTestFailed());
        for (const Download& l_download : g_downloads)
            l_senders.push_back(Send(l_download, 200 + quint32(l_senders.size()), 0));
        for (std::size_t l_index = 0; l_index < l_senders.size(); ++l_index)
        {
            const Download& l_download = g_downloads[l_index];
            const QString l_complete = Path("complete", l_download);
            QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(l_complete).size(), l_download.m_size, timeoutMs);
            QVERIFY(l_senders[l_index]->Finish(timeoutMs));
            QCOMPARE(l_senders[l_index]->ReceivedOffset(), l_partSizes[l_index]);
            QFile l_file(l_complete);
            QVERIFY(l_file.open(QIODevice::ReadOnly));
            QVERIFY(l_file.readAll() == Bytes(l_download));
            QVERIFY(!QFile::exists(Path("downloading", l_download)));
        }
        QuitClient();
        QVERIFY(!QTest::currentTestFailed());
        StartClient("complete");
        QVERIFY(!QTest::currentTestFailed());
        QuitClient();
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
