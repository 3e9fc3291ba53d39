#include "UploadThread.h"

#include "UploadSpeedLimit.h"

#include <QFile>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>

UploadThread::UploadThread(QTcpSocket* ip_socket, QFile* ip_file, quint32 i_transferToken,
                           UploadSpeedLimit* ip_limit, quint64 i_serial, QThread* ip_home)
    : TransferThread(ip_socket, ip_file, i_serial, ip_home), m_transferToken(i_transferToken),
      mp_limit(ip_limit)
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
    const qint64 l_size = mp_file->size();
    // An offset equal to the size asks for nothing: the downloader has the whole file.
    if (l_offset < 0 || l_offset > l_size || !mp_file->seek(l_offset))
        return false;

    RestartMeasurement();
    m_pacingClock.start();
    m_lastLimit = mp_limit->Total();
    m_pending = 0;
    if (l_offset == l_size)
        Count(l_offset, 0, true);
    char l_buffer[BlockSize];
    while (l_offset < l_size)
    {
        if (ExitRequested())
            return false;
        Pace();
        const qint64 l_block = std::min(BlockSize, l_size - l_offset);
        if (mp_file->read(l_buffer, l_block) != l_block || !WriteAll(l_buffer, l_block))
            return false;
        l_offset += l_block;
        m_pending += l_block;
        Count(l_offset, l_block, l_offset == l_size);
    }
    WaitForClose();
    return true;
}

qint64 UploadThread::PacingCredit(int i_limit, qint64 i_elapsedMilliseconds, qint64 i_pending)
{
    return qint64(i_limit) * 1024 * i_elapsedMilliseconds / 1000 - i_pending;
}

void UploadThread::Pace()
{
    const int l_limit = mp_limit->PerUpload();
    if (l_limit != m_lastLimit)
    {
        RestartMeasurement();
        if (m_lastLimit == 0)
            m_pending = 0;
    }
    m_lastLimit = l_limit;
    if (l_limit == 0)
        return;
    m_pending = mp_limit->TakeFromPool(m_pending);
    // Pending bytes at the share take pending / limit milliseconds (kilobytes per second).
    QElapsedTimer l_step;
    l_step.start();
    const qint64 l_due = m_pending / l_limit;
    for (qint64 l_left = l_due; l_left > 0 && !ExitRequested(); l_left = l_due - l_step.elapsed())
        msleep(static_cast<unsigned long>(l_left));
    const qint64 l_elapsed = m_pacingClock.restart();
    const qint64 l_credit = PacingCredit(l_limit, l_elapsed, m_pending);
    m_pending = 0;
    if (l_credit > 0)
        mp_limit->AddToPool(l_credit);
}
