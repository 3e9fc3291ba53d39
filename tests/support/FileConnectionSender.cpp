#include "FileConnectionSender.h"

#include "TestPeerMessages.h"
#include "WireWriter.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <algorithm>

namespace
{
constexpr int waitMs = 20000;
constexpr qint64 chunk = 1 << 20;
} // namespace

FileConnectionSender::FileConnectionSender(quint16 i_port, const QByteArray& i_user,
                                           quint32 i_token)
    : m_port(i_port), m_user(i_user), m_token(i_token)
{
}

void FileConnectionSender::SetSourceFile(const QString& i_path)
{
    m_path = i_path;
}

void FileConnectionSender::SetSourceBytes(const QByteArray& i_bytes)
{
    m_bytes = i_bytes;
}

void FileConnectionSender::SetEnding(Ending i_ending, qint64 i_stopAt)
{
    m_ending = i_ending;
    m_stopAt = i_stopAt;
}

qint64 FileConnectionSender::SourceSize() const
{
    return m_path.isEmpty() ? m_bytes.size() : QFile(m_path).size();
}

bool FileConnectionSender::Finish(int i_timeoutMs)
{
    return QTest::qWaitFor([this] { return isFinished(); }, i_timeoutMs);
}

void FileConnectionSender::run()
{
    QTcpSocket l_socket;
    l_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), m_port);
    if (!l_socket.waitForConnected(waitMs))
        return;
    const QByteArray l_opening = TestPeerMessages::Frame(TestPeerMessages::PeerInit(m_user, "F")) +
                                 WireWriter().WriteU32(m_token).Bytes();
    l_socket.write(l_opening);
    QByteArray l_offset;
    while (l_offset.size() < 8)
    {
        if (l_socket.bytesAvailable() == 0 && !l_socket.waitForReadyRead(waitMs))
            return;
        l_offset += l_socket.read(8 - l_offset.size());
    }
    const qint64 l_start = qFromLittleEndian<qint64>(l_offset.constData());
    m_offset.store(l_start);

    QFile l_file(m_path);
    if (!m_path.isEmpty() && (!l_file.open(QIODevice::ReadOnly) || !l_file.seek(l_start)))
        return;
    const qint64 l_end = m_ending == Ending::Complete ? SourceSize() : m_stopAt;
    qint64 l_position = l_start;
    while (l_position < l_end)
    {
        const qint64 l_length = std::min(chunk, l_end - l_position);
        const QByteArray l_block =
            m_path.isEmpty() ? m_bytes.mid(l_position, l_length) : l_file.read(l_length);
        if (l_block.isEmpty() || l_socket.write(l_block) != l_block.size())
            return;
        while (l_socket.bytesToWrite() > 0)
            if (!l_socket.waitForBytesWritten(waitMs))
                return;
        l_position += l_block.size();
        m_sent.store(l_position - l_start);
    }
    if (m_ending == Ending::Close)
    {
        l_socket.disconnectFromHost();
        return;
    }
    // Stalled or finished: the downloader is the one to close.
    while (l_socket.state() == QAbstractSocket::ConnectedState)
    {
        l_socket.readAll();
        if (!l_socket.waitForReadyRead(waitMs) &&
            l_socket.state() == QAbstractSocket::ConnectedState)
            return;
    }
    m_peerClosed.store(true);
}
