#include "TransferThread.h"

#include <QFile>
#include <QTcpSocket>

#include <algorithm>
#include <limits>

namespace
{
// The longest single wait on the socket between two looks at the exit flag.
constexpr int waitSliceMilliseconds = 50;
} // namespace

std::atomic<int> TransferThread::s_waitMilliseconds{TransferThread::DefaultWaitMilliseconds};

TransferThread::TransferThread(QTcpSocket* ip_socket, QFile* ip_file, quint64 i_serial,
                               QThread* ip_home)
    : mp_socket(ip_socket), mp_file(ip_file), m_serial(i_serial), mp_home(ip_home)
{
}

void TransferThread::SignalExit()
{
    QMutexLocker l_lock(&m_exitMutex);
    m_exit = true;
}

bool TransferThread::ExitRequested()
{
    QMutexLocker l_lock(&m_exitMutex);
    return m_exit;
}

void TransferThread::SetWaitMilliseconds(int i_milliseconds)
{
    s_waitMilliseconds.store(i_milliseconds);
}

int TransferThread::WaitMilliseconds()
{
    return s_waitMilliseconds.load();
}

template <typename Wait> bool TransferThread::WaitInSlices(Wait i_wait)
{
    QElapsedTimer l_waited;
    l_waited.start();
    const int l_limit = WaitMilliseconds();
    for (;;)
    {
        if (ExitRequested())
            return false;
        const qint64 l_left = l_limit - l_waited.elapsed();
        if (l_left <= 0)
            return false;
        if (i_wait(int(std::min<qint64>(l_left, waitSliceMilliseconds))))
            return true;
        if (mp_socket->error() != QAbstractSocket::SocketTimeoutError ||
            mp_socket->state() != QAbstractSocket::ConnectedState)
            return false;
    }
}

bool TransferThread::WaitForReadable()
{
    return WaitInSlices([this](int i_ms) { return mp_socket->waitForReadyRead(i_ms); });
}

bool TransferThread::WaitForWritten()
{
    return WaitInSlices([this](int i_ms) { return mp_socket->waitForBytesWritten(i_ms); });
}

void TransferThread::WaitForClose()
{
    if (mp_socket->state() == QAbstractSocket::UnconnectedState)
        return;
    WaitInSlices([this](int i_ms) { return mp_socket->waitForDisconnected(i_ms); });
}

bool TransferThread::WriteAll(const char* ip_bytes, qint64 i_length)
{
    qint64 l_written = 0;
    while (l_written < i_length)
    {
        const qint64 l_result = mp_socket->write(ip_bytes + l_written, i_length - l_written);
        if (l_result < 0)
            return false;
        l_written += l_result;
    }
    while (mp_socket->bytesToWrite() > 0)
        if (!WaitForWritten())
            return false;
    return true;
}

void TransferThread::RestartMeasurement()
{
    m_measurementStart.start();
    m_countedBytes = 0;
}

void TransferThread::Count(qint64 i_position, qint64 i_block, bool i_last)
{
    if (!m_measurementStart.isValid())
        RestartMeasurement();
    m_countedBytes += i_block;
    // Nanoseconds: a block on loopback can leave within a millisecond.
    const qint64 l_elapsed = m_measurementStart.nsecsElapsed();
    const int l_speed = l_elapsed > 0
                            ? int(std::min<double>(double(m_countedBytes) * 1e9 / double(l_elapsed),
                                                   std::numeric_limits<int>::max()))
                            : 0;
    m_position.store(i_position, std::memory_order_relaxed);
    m_bytesPerSecond.store(l_speed, std::memory_order_relaxed);
    if (i_last || !m_sinceProgress.isValid() ||
        m_sinceProgress.elapsed() >= ProgressIntervalMilliseconds)
    {
        m_sinceProgress.start();
        Progressed(i_position, l_speed);
    }
}

void TransferThread::run()
{
    const bool l_done = Perform();
    mp_socket->moveToThread(mp_home);
    Ended(l_done);
}
