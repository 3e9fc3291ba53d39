// Speed of a download through the client's whole download path: a 1 GiB file offered by a test
// peer over a file connection on 127.0.0.1, read by the download thread, written under the
// download folder and moved to the complete folder; beside a raw copy of the same bytes from file
// to socket to file in the same run, with the same opening exchange. Files live on /dev/shm when
// it exists, so that the disk does not set the pace; the source is sparse. Also counts the
// progress signals that reach the GUI thread per second.
#include "Data.h"
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
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

namespace
{
constexpr qint64 fileSize = qint64(1) << 30;
constexpr quint32 token = 77;
constexpr int timeoutMs = 600000;

double MegabytesPerSecond(qint64 i_bytes, qint64 i_milliseconds)
{
    return double(i_bytes) / (1024.0 * 1024.0) /
           (double(std::max<qint64>(i_milliseconds, 1)) / 1000.0);
}

// The receiving end of the raw copy: takes one connection, reads the opening frame and the
// token, answers offset 0 and writes everything that follows to the file in large reads.
class RawReceiver : public QThread
{
public:
    explicit RawReceiver(const QString& i_path) : m_path(i_path)
    {
        m_server.listen(QHostAddress(QHostAddress::LocalHost), 0);
        m_server.moveToThread(this);
    }
    quint16 Port() const { return m_server.serverPort(); }
    qint64 Received() const { return m_received; }

protected:
    void run() override
    {
        if (!m_server.waitForNewConnection(timeoutMs))
            return;
        std::unique_ptr<QTcpSocket> lp_socket(m_server.nextPendingConnection());
        QFile l_file(m_path);
        if (!l_file.open(QIODevice::WriteOnly))
            return;
        QByteArray l_opening;
        while (l_opening.size() < 4 ||
               l_opening.size() < 4 + qFromLittleEndian<quint32>(l_opening.constData()) + 4)
        {
            if (lp_socket->bytesAvailable() == 0 && !lp_socket->waitForReadyRead(timeoutMs))
                return;
            l_opening += lp_socket->read(1);
        }
        lp_socket->write(QByteArray(8, '\0'));
        QByteArray l_buffer(1 << 20, Qt::Uninitialized);
        while (m_received < fileSize)
        {
            if (lp_socket->bytesAvailable() == 0 && !lp_socket->waitForReadyRead(timeoutMs))
                return;
            const qint64 l_read = lp_socket->read(l_buffer.data(), l_buffer.size());
            if (l_read < 0 || l_file.write(l_buffer.constData(), l_read) != l_read)
                return;
            m_received += l_read;
        }
        lp_socket->close();
    }

private:
    QTcpServer m_server;
    QString m_path;
    qint64 m_received = 0;
};

qint64 RawCopy(const QString& i_source, const QString& i_target)
{
    RawReceiver l_receiver(i_target);
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

    const qint64 l_raw = RawCopy(l_source, l_dir.path() + QStringLiteral("/raw"));

    ItemPtr l_download = l_manager.AddDownload("bob", "big.bin", "files", fileSize, 0);
    l_bob.Offer(token, "files\\big.bin", quint64(fileSize));
    if (!l_bob.Take(41))
        return 1;
    FileConnectionSender l_sender(l_harness.Messenger().ListeningPort(), "bob", token);
    l_sender.SetSourceFile(l_source);
    QElapsedTimer l_timer;
    l_timer.start();
    l_sender.start();
    const bool l_done = QTest::qWaitFor(
        [&] { return l_download["download_entry_status"].AsString() == "complete"; }, timeoutMs);
    const qint64 l_client = l_timer.elapsed();
    l_sender.wait();
    const qint64 l_placed =
        QFile(l_dir.path() + QStringLiteral("/D/complete/files/big.bin")).size();
    if (!l_done || l_placed != fileSize)
        std::printf("client download did not complete: %lld bytes placed\n", l_placed);
    l_manager.RemoveDownload(l_download);

    const double l_rawRate = MegabytesPerSecond(fileSize, l_raw);
    const double l_clientRate = MegabytesPerSecond(fileSize, l_client);
    std::printf("raw copy file-socket-file: %.0f MiB/s (%lld ms)\n", l_rawRate, l_raw);
    std::printf("client download path:      %.0f MiB/s (%lld ms)\n", l_clientRate, l_client);
    std::printf("ratio client/raw:          %.0f%%\n", 100.0 * l_clientRate / l_rawRate);
    std::printf("progress signals reaching the GUI thread: %lld (%.1f per second)\n",
                l_progressSignals, double(l_progressSignals) * 1000.0 / double(l_client));
    return 0;
}
