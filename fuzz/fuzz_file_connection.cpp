#include "FuzzClient.h"
#include "NetworkGuard.h"
#include "TransferQueueManager.h"
#include "UploadThread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace
{
// The download that the planted entry waits for, and the size of the upload's file.
constexpr quint32 plantedToken = 2;
constexpr qint64 downloadSize = 64;
constexpr qint64 uploadSize = 100;
constexpr int waitMs = 2000;

QTcpServer* gp_server = nullptr;
QString g_source;

// A connected pair on 127.0.0.1: the peer's socket and the client's, as the messenger hands it
// over (without a parent of its own).
std::unique_ptr<QTcpSocket> Pair(QTcpSocket*& o_client)
{
    auto lp_peer = std::make_unique<QTcpSocket>();
    lp_peer->connectToHost(QHostAddress(QHostAddress::LocalHost), gp_server->serverPort());
    Require(gp_server->waitForNewConnection(waitMs), "the connection reaches the client");
    o_client = gp_server->nextPendingConnection();
    Require(o_client && lp_peer->waitForConnected(waitMs), "both ends are connected");
    o_client->setParent(nullptr);
    return lp_peer;
}

void Write(QTcpSocket& i_socket, const char* ip_bytes, qint64 i_size)
{
    i_socket.write(ip_bytes, i_size);
    while (i_socket.bytesToWrite() > 0 && i_socket.waitForBytesWritten(waitMs))
    {
    }
}

// The download side: the token of a file connection, then what the uploader sends.
void Download(const char* ip_bytes, qint64 i_size)
{
    TransferQueueManager& l_manager = FuzzClient::Instance().Transfers();
    const QString& l_folder = FuzzClient::Instance().DownloadFolder();
    ItemPtr l_download = l_manager.AddDownload("fay", "f.bin", "..\\x", downloadSize, 1);
    l_download += d.GetType("remote_transfer_req")->GetItem(plantedToken);
    uchar l_token[4] = {};
    std::memcpy(l_token, ip_bytes, size_t(std::min<qint64>(4, i_size)));
    QTcpSocket* lp_client = nullptr;
    auto lp_peer = Pair(lp_client);
    l_manager.OnFileConnection("fay", lp_client, qFromLittleEndian<quint32>(l_token));
    if (i_size > 4)
        Write(*lp_peer, ip_bytes + 4, i_size - 4);
    lp_peer->disconnectFromHost();
    QElapsedTimer l_timer;
    l_timer.start();
    while (l_download["download_thread"] && l_timer.elapsed() < waitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    l_manager.RemoveDownload(l_download);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QString l_partial = l_folder + QStringLiteral("/downloading/__/x/f.bin");
    Require(QFile(l_partial).size() <= downloadSize, "no more than the file's size is written");
    Require(QDir(l_folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size() <= 2,
            "only the download folder's own sub-folders are made");
}

// The upload side: the start offset that the downloader answers, and whatever follows.
void Upload(const char* ip_bytes, qint64 i_size)
{
    QFile l_file(g_source);
    Require(l_file.open(QIODevice::ReadOnly), "the shared file opens");
    QTcpSocket* lp_client = nullptr;
    auto lp_peer = Pair(lp_client);
    UploadThread l_thread(lp_client, &l_file, l_file.size(), plantedToken,
                          &FuzzClient::Instance().Transfers().SpeedLimit(), 1,
                          QThread::currentThread());
    lp_client->moveToThread(&l_thread);
    l_thread.start();
    Write(*lp_peer, ip_bytes, i_size);
    QByteArray l_received;
    while (!l_thread.isFinished())
    {
        lp_peer->waitForReadyRead(5);
        l_received += lp_peer->readAll();
    }
    l_thread.wait();
    delete lp_client;
    // What the thread wrote last may still be on its way: read until the connection's end.
    do
        l_received += lp_peer->readAll();
    while (lp_peer->waitForReadyRead(waitMs));
    if (i_size < 8)
        return;
    const qint64 l_offset = qFromLittleEndian<qint64>(ip_bytes);
    if (l_offset >= 0 && l_offset <= uploadSize)
        Require(l_received.size() == 4 + uploadSize - l_offset,
                "a valid offset gets the rest of the file");
    else
        Require(l_received.size() == 4, "an offset outside the file gets nothing");
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance();
    gp_server = new QTcpServer;
    Require(gp_server->listen(QHostAddress(QHostAddress::LocalHost), 0), "a listening port");
    AllowLoopbackPort(gp_server->serverPort());
    static QTemporaryDir s_folder(FuzzClient::TemporaryTemplate("fuzz_file_connection"));
    g_source = s_folder.filePath(QStringLiteral("source"));
    const std::string l_content(uploadSize, 'u');
    FuzzClient::WriteInput(g_source, reinterpret_cast<const std::uint8_t*>(l_content.data()),
                           l_content.size());
    return 0;
}

// The first bytes of a file connection from another user. The first byte of the input chooses
// the side. Even: this client downloads, and the input is the transfer token (4 bytes) that the
// uploader opens the connection with, then the bytes it sends, to a download that waits for
// token 2 with a remote folder that points upwards. Odd: this client uploads a 100-byte file,
// and the input is the downloader's reply to the token: the 8-byte start offset and anything
// after it. Each input starts from an empty store.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size == 0)
        return 0;
    const char* lp_bytes = reinterpret_cast<const char*>(ip_data + 1);
    if (ip_data[0] % 2 == 0)
        Download(lp_bytes, qint64(i_size - 1));
    else
        Upload(lp_bytes, qint64(i_size - 1));
    FuzzClient::Instance().ResetStore();
    return 0;
}
