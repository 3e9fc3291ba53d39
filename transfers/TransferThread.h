#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QThread>

#include <atomic>

class QFile;
class QTcpSocket;

// What the download and the upload thread share: the handed-over socket and file, the exit flag,
// the waits on the socket, the progress that the manager reads, and the serial that tells the
// manager which transfer a queued signal belongs to, so that a signal from a thread that has ended
// never reaches a newer transfer whose thread took the same address.
class TransferThread : public QThread
{
    Q_OBJECT

public:
    // Bytes moved per pass.
    static constexpr qint64 BlockSize = 8192;
    // How long a socket may stay silent before the transfer fails.
    static constexpr int DefaultWaitMilliseconds = 30000;
    // Progress reaches the manager at most this often, and once more at the end.
    static constexpr int ProgressIntervalMilliseconds = 100;

    // The socket and the file stay the manager's; home is the thread the socket returns to.
    TransferThread(QTcpSocket* ip_socket, QFile* ip_file, quint64 i_serial, QThread* ip_home);

    void SignalExit();
    quint64 Serial() const { return m_serial; }
    qint64 Position() const { return m_position.load(std::memory_order_relaxed); }
    int BytesPerSecond() const { return m_bytesPerSecond.load(std::memory_order_relaxed); }

    // The wait of every transfer; tests shorten it.
    static void SetWaitMilliseconds(int i_milliseconds);
    static int WaitMilliseconds();

protected:
    // Moves the bytes, returns the socket to the manager's thread and tells how it went.
    void run() final;
    // The transfer's loop; true when every byte has been moved.
    virtual bool Perform() = 0;
    // After the socket has gone back; emits the end signal.
    virtual void Ended(bool i_done) = 0;
    bool ExitRequested();
    // Each waits at most the wait time, in short slices so that a stop request ends it soon;
    // false on time-out, on a closed or failed socket, or when asked to stop.
    bool WaitForReadable();
    bool WaitForWritten();
    // Until the peer closes the connection; the outcome does not matter to the caller.
    void WaitForClose();
    // Writes all of the bytes and waits until they have left the socket's buffer.
    bool WriteAll(const char* ip_bytes, qint64 i_length);
    // Starts the speed measurement again.
    void RestartMeasurement();
    // Counts a block that has been moved and tells the manager when it is time to.
    void Count(qint64 i_position, qint64 i_block, bool i_last);
    virtual void Progressed(qint64 i_position, int i_bytesPerSecond) = 0;

    QTcpSocket* mp_socket;
    QFile* mp_file;

private:
    template <typename Wait> bool WaitInSlices(Wait i_wait);

    quint64 m_serial;
    QThread* mp_home;
    QMutex m_exitMutex;
    bool m_exit = false;
    std::atomic<qint64> m_position{0};
    std::atomic<int> m_bytesPerSecond{0};
    QElapsedTimer m_measurementStart;
    qint64 m_countedBytes = 0;
    QElapsedTimer m_sinceProgress;

    static std::atomic<int> s_waitMilliseconds;
};
