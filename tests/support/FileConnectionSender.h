#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>

// The uploading side of one file connection, on a thread of its own with a blocking socket, as
// another user's client would run it: dials 127.0.0.1, sends the first message of a file
// connection and the transfer token, reads the 8-byte start offset and sends the source from
// there. It can stop sending after some bytes and then either stay silent (stall) or close.
// The source is a file (read in large blocks, so that a sparse file of any size costs nothing)
// or bytes held in memory.
class FileConnectionSender : public QThread
{
    Q_OBJECT

public:
    enum class Ending
    {
        Complete, // sends every byte, then waits for the downloader to close
        Stall,    // sends up to the stop point, then stays silent until the downloader closes
        Close     // sends up to the stop point, then closes
    };

    FileConnectionSender(quint16 i_port, const QByteArray& i_user, quint32 i_token);

    void SetSourceFile(const QString& i_path);
    void SetSourceBytes(const QByteArray& i_bytes);
    // Bytes of the source, counted from its start, after which the ending applies.
    void SetEnding(Ending i_ending, qint64 i_stopAt = 0);

    // After the thread has ended: the offset the downloader asked for (-1 when none came), the
    // bytes sent after it, and whether the downloader closed the connection.
    qint64 ReceivedOffset() const { return m_offset.load(); }
    qint64 BytesSent() const { return m_sent.load(); }
    bool PeerClosed() const { return m_peerClosed.load(); }
    // Waits for the thread, at most i_timeoutMs, keeping the caller's event loop running.
    bool Finish(int i_timeoutMs = 20000);

protected:
    void run() override;

private:
    qint64 SourceSize() const;

    quint16 m_port;
    QByteArray m_user;
    quint32 m_token;
    QString m_path;
    QByteArray m_bytes;
    Ending m_ending = Ending::Complete;
    qint64 m_stopAt = 0;
    std::atomic<qint64> m_offset{-1};
    std::atomic<qint64> m_sent{0};
    std::atomic<bool> m_peerClosed{false};
};
