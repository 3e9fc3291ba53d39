#include "DownloadThread.h"

#include <QFile>
#include <QTcpSocket>

#include <algorithm>

#include <unistd.h>

DownloadThread::DownloadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_fileSize,
                               qint64 i_startOffset, quint64 i_serial, QThread* ip_home)
    : TransferThread(ip_socket, ip_file, i_serial, ip_home), m_fileSize(i_fileSize),
      m_position(i_startOffset)
{
}

void DownloadThread::Ended(bool i_done)
{
    mp_file->close();
    if (i_done)
        emit DownloadComplete(Serial());
    else
        emit DownloadError(Serial());
}

void DownloadThread::Progressed(qint64 i_position, int i_bytesPerSecond)
{
    emit DownloadProgress(Serial(), i_position, i_bytesPerSecond);
}

bool DownloadThread::Perform()
{
    // A partial file longer than the remote one cannot be finished.
    if (m_position > m_fileSize || m_position < 0)
        return false;
    RestartMeasurement();
    char l_buffer[ReadSize];
    for (;;)
    {
        if (ExitRequested())
            return false;
        // What has arrived is written at once, so that a transfer that breaks off keeps it.
        const qint64 l_wanted = std::min(ReadSize, m_fileSize - m_position);
        if (l_wanted > 0 && mp_socket->bytesAvailable() == 0 && !WaitForReadable())
            return false;
        const qint64 l_block = mp_socket->read(l_buffer, l_wanted);
        if (l_block < 0 || mp_file->write(l_buffer, l_block) != l_block)
            return false;
        m_position += l_block;
        const bool l_last = m_position == m_fileSize;
        Count(m_position, l_block, l_last);
        if (l_last)
        {
            // On disk before the file is moved and recorded as complete: after a power loss a
            // file recorded so must not be short. A failed write shows here at the latest.
            if (!mp_file->flush() || ::fsync(mp_file->handle()) != 0)
                return false;
            mp_socket->close();
            return true;
        }
    }
}
