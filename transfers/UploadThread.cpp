#include "UploadThread.h"

#include <QFile>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>

namespace
{
// The longest single sleep between two looks at the exit flag.
constexpr qint64 pacingSliceNanoseconds = 50000000;
} // namespace

UploadThread::UploadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_size,
                           quint32 i_transferToken, UploadSpeedLimit* ip_limit, quint64 i_serial,
                           QThread* ip_home)
    : TransferThread(ip_socket, ip_file, i_serial, ip_home), m_size(i_size),
      m_transferToken(i_transferToken), m_pacer(ip_limit)
{
}

void UploadThread::Ended(bool i_done)
{
    if (i_done)
        emit UploadComplete(Serial());
    else
        emit UploadError(Serial());
}

void UploadThread::Progressed(qint64 i_position, int i_bytesPerSecond)
{
    emit UploadProgress(Serial(), i_position, i_bytesPerSecond);
}

bool UploadThread::ReadStartOffset(qint64& o_offset)
{
    uchar l_bytes[8];
    qint64 l_got = 0;
    while (l_got < 8)
    {
        if (mp_socket->bytesAvailable() == 0 && !WaitForReadable())
            return false;
        const qint64 l_read = mp_socket->read(reinterpret_cast<char*>(l_bytes) + l_got, 8 - l_got);
        if (l_read < 0)
            return false;
        l_got += l_read;
    }
    o_offset = qFromLittleEndian<qint64>(l_bytes);
    return true;
}

bool UploadThread::Perform()
{
    uchar l_token[4];
    qToLittleEndian(m_transferToken, l_token);
    if (!WriteAll(reinterpret_cast<const char*>(l_token), 4))
        return false;
    qint64 l_offset = 0;
    if (!ReadStartOffset(l_offset))
        return false;
    const qint64 l_size = m_size;
    // An offset equal to the size asks for nothing: the downloader has the whole file.
    if (l_offset < 0 || l_offset > l_size || !mp_file->seek(l_offset))
        return false;

    RestartMeasurement();
    m_pacer.Start();
    if (l_offset == l_size)
        Count(l_offset, 0, true);
    char l_buffer[BlockSize];
    while (l_offset < l_size)
    {
        if (ExitRequested() || !Pace())
            return false;
        // A file that shrank since it was offered ends the upload here.
        const qint64 l_block = std::min(BlockSize, l_size - l_offset);
        if (mp_file->read(l_buffer, l_block) != l_block || !WriteAll(l_buffer, l_block))
            return false;
        l_offset += l_block;
        m_pacer.Sent(l_block);
        Count(l_offset, l_block, l_offset == l_size);
    }
    WaitForClose();
    return true;
}

bool UploadThread::Pace()
{
    if (m_pacer.ReadShare())
        RestartMeasurement();
    for (qint64 l_wait = m_pacer.Delay(); l_wait > 0; l_wait = m_pacer.Delay())
    {
        if (ExitRequested())
            return false;
        // Whole microseconds, rounded up; an overslept part is paid back by the next blocks.
        usleep(static_cast<unsigned long>((std::min(l_wait, pacingSliceNanoseconds) + 999) / 1000));
    }
    return true;
}
