// Speed of a download through the client's whole download path: a 1 GiB file offered by a test
// peer over a file connection on 127.0.0.1, read by the download thread, written under the
// download folder and moved to the complete folder; beside a raw copy of the same bytes from file
// to socket to file in the same run, with the same opening exchange. Files live on /dev/shm when
// it exists, so that the disk does not set the pace; the source is sparse. Also counts the
// progress signals that reach the GUI thread per second. Each is the best of three rounds.
// First, the rate an upload thread achieves under a speed limit against the limit itself.
#include "Data.h"
#include "FileConnectionReceiver.h"
#include "FileConnectionSender.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "UploadSpeedLimit.h"
#include "UploadThread.h"
#include "WireReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace
{
constexpr qint64 fileSize = qint64(1) << 30;
constexpr quint32 token = 77;
constexpr int timeoutMs = 600000;
constexpr int rounds = 3;
// Each limited upload lasts about this long, so that its first unpaced block hardly counts.
constexpr qint64 limitedSeconds = 3;
constexpr double limitTolerance = 0.05;

double MegabytesPerSecond(qint64 i_bytes, qint64 i_milliseconds)
{
    return double(i_bytes) / (1024.0 * 1024.0) /
           (double(std::max<qint64>(i_milliseconds, 1)) / 1000.0);
}

qint64 RawCopy(const QString& i_source, const QString& i_target)
{
    FileConnectionReceiver l_receiver(fileSize, i_target);
    FileConnectionSender l_sender(l_receiver.Port(), "bob", token);
    l_sender.SetSourceFile(i_source);
    QElapsedTimer l_timer;
    l_timer.start();
    l_receiver.start();
    l_sender.start();
    l_receiver.wait();
    const qint64 l_elapsed = l_timer.elapsed();
    l_sender.wait();
    if (l_receiver.Received() != fileSize)
        std::printf("raw copy: received %lld of %lld bytes\n", l_receiver.Received(), fileSize);
    QFile::remove(i_target);
    return l_elapsed;
}

// One upload thread sending a sparse file of a few seconds' worth at the limit (kilobytes per
// second) to a plain socket; the bytes per second that arrive after the first read, or -1. The
// last bytes may wait for a delayed acknowledgement (about 40 ms), which counts here as well.
double LimitedUploadRate(const QString& i_folder, int i_limit)
{
    const qint64 l_size = qint64(i_limit) * 1024 * limitedSeconds;
    QFile l_file(i_folder + QStringLiteral("/limited"));
    if (!l_file.open(QIODevice::ReadWrite) || !l_file.resize(l_size))
        return -1;
    QTcpServer l_server;
    l_server.listen(QHostAddress(QHostAddress::LocalHost));
    QTcpSocket* lp_sender = new QTcpSocket;
    lp_sender->connectToHost(QHostAddress(QHostAddress::LocalHost), l_server.serverPort());
    if (!lp_sender->waitForConnected(timeoutMs) || !l_server.waitForNewConnection(timeoutMs))
        return -1;
    QTcpSocket* lp_receiver = l_server.nextPendingConnection();
    UploadSpeedLimit l_limit;
    l_limit.Set(i_limit, i_limit);
    QThread* lp_home = QThread::currentThread();
    UploadThread l_thread(lp_sender, &l_file, l_size, token, &l_limit, 1, lp_home);
    lp_sender->moveToThread(&l_thread);
    l_thread.start();
    qint64 l_received = -4;
    // Timed from the first bytes of the file, which are not counted.
    qint64 l_first = 0;
    QElapsedTimer l_timer;
    QByteArray l_buffer(1 << 20, Qt::Uninitialized);
    while (l_received < l_size && lp_receiver->waitForReadyRead(timeoutMs))
        while (lp_receiver->bytesAvailable() > 0)
        {
            if (l_received == -4)
            {
                lp_receiver->read(4);
                lp_receiver->write(QByteArray(8, '\0'));
                lp_receiver->flush();
                l_received = 0;
                continue;
            }
            l_received += lp_receiver->read(l_buffer.data(), l_buffer.size());
            if (!l_timer.isValid())
            {
                l_timer.start();
                l_first = l_received;
            }
        }
    const qint64 l_elapsed = l_timer.isValid() ? l_timer.nsecsElapsed() : 0;
    lp_receiver->close();
    l_thread.wait();
    delete lp_sender;
    if (l_received < l_size || l_elapsed <= 0)
        return -1;
    return double(l_received - l_first) * 1e9 / double(l_elapsed);
}

// One download of the source through the client, from the offer to the placed file; the
// milliseconds from the first byte sent to the finished file placed, or -1.
qint64 ClientDownload(TransferQueueManager& i_manager, TransferPeer& i_owner,
                      PeerHarness& i_harness, const QString& i_source, const QString& i_folder,
                      quint32 i_token)
{
    ItemPtr l_download = i_manager.AddDownload("bob", "big.bin", "files", fileSize, 0);
    i_owner.Offer(i_token, "files\\big.bin", quint64(fileSize));
    if (!i_owner.Take(41))
        return -1;
    FileConnectionSender l_sender(i_harness.Messenger().ListeningPort(), "bob", i_token);
    l_sender.SetSourceFile(i_source);
    QElapsedTimer l_timer;
    qint64 l_elapsed = -1;
    // Taken when the finished file has been placed, not when the wait below looks again.
    const QMetaObject::Connection l_placed =
        QObject::connect(&i_manager, &TransferQueueManager::CompleteDownloadAdded,
                         [&](ItemPtr) { l_elapsed = l_timer.elapsed(); });
    l_timer.start();
    l_sender.start();
    const bool l_done = QTest::qWaitFor([&] { return l_elapsed >= 0; }, timeoutMs);
    QObject::disconnect(l_placed);
    l_sender.wait();
    const QString l_path = i_folder + QStringLiteral("/D/complete/files/big.bin");
    if (!l_done || QFile(l_path).size() != fileSize)
    {
        std::printf("client download did not complete\n");
        return -1;
    }
    i_manager.RemoveDownload(l_download);
    d.GetType("complete_download")->GetItems().Remove();
    QFile::remove(l_path);
    return l_elapsed;
}
} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_application(i_argc, ip_argv);
    const QString l_base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    QTemporaryDir l_dir(l_base + QStringLiteral("/transfer_bench-XXXXXX"));
    const QString l_source = l_dir.path() + QStringLiteral("/source");
    {
        QFile l_file(l_source);
        if (!l_file.open(QIODevice::WriteOnly) || !l_file.resize(fileSize))
            return 1;
    }

    for (const int l_limit : {1000, 10000, 50000})
    {
        const double l_rate = LimitedUploadRate(l_dir.path(), l_limit) / 1024.0;
        const bool l_met = std::abs(l_rate - l_limit) <= limitTolerance * l_limit;
        std::printf("aim: upload rate at a limit of %d KB/s: %.0f KB/s (aim %d KB/s within 5%%): "
                    "%s\n",
                    l_limit, l_rate, l_limit, l_met ? "met" : "not met");
    }
    QFile::remove(l_dir.path() + QStringLiteral("/limited"));

    PeerHarness l_harness;
    TransferQueueManager l_manager;
    TransferPeer l_bob(l_harness, "bob");
    l_bob.SetOnline(true);
    TestSettings::SetSetting("download_folder", l_dir.path() + QStringLiteral("/D"));
    qint64 l_progressSignals = 0;
    QObject::connect(&l_manager, &TransferQueueManager::DownloadProgressed,
                     [&l_progressSignals](ItemPtr) { ++l_progressSignals; });

    // Best of a few rounds each, taken in turn: the machine may be busy with other work.
    qint64 l_raw = std::numeric_limits<qint64>::max();
    qint64 l_client = std::numeric_limits<qint64>::max();
    qint64 l_clientTotal = 0;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        l_raw = std::min(l_raw, RawCopy(l_source, l_dir.path() + QStringLiteral("/raw")));
        const qint64 l_elapsed = ClientDownload(l_manager, l_bob, l_harness, l_source, l_dir.path(),
                                                token + quint32(l_round));
        if (l_elapsed < 0)
            return 1;
        l_client = std::min(l_client, l_elapsed);
        l_clientTotal += l_elapsed;
    }

    const double l_rawRate = MegabytesPerSecond(fileSize, l_raw);
    const double l_clientRate = MegabytesPerSecond(fileSize, l_client);
    std::printf("raw copy file-socket-file: %.0f MiB/s (%lld ms)\n", l_rawRate, l_raw);
    std::printf("client download path:      %.0f MiB/s (%lld ms)\n", l_clientRate, l_client);
    std::printf("ratio client/raw:          %.0f%%\n", 100.0 * l_clientRate / l_rawRate);
    std::printf("progress signals reaching the GUI thread: %lld (%.1f per second)\n",
                l_progressSignals, double(l_progressSignals) * 1000.0 / double(l_clientTotal));
    return 0;
}
