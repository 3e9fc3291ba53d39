// Speed of a download through the client's whole download path: a 1 GiB file offered by a test
// peer over a file connection on 127.0.0.1, read by the download thread, written under the
// download folder and moved to the complete folder; beside a raw copy of the same bytes from file
// to socket to file in the same run, with the same opening exchange. Files live on /dev/shm when
// it exists, so that the disk does not set the pace; the source is sparse. Also counts the
// progress signals that reach the GUI thread per second. Each is the best of three rounds.
#include "Data.h"
#include "FileConnectionReceiver.h"
#include "FileConnectionSender.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "WireReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace
{
constexpr qint64 fileSize = qint64(1) << 30;
constexpr quint32 token = 77;
constexpr int timeoutMs = 600000;
constexpr int rounds = 3;

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
