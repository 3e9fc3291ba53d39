#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

#include <optional>

class QTcpSocket;

// A bare client for tests of servers that speak frames of a u32 length and a body that starts
// with a u32 code: it connects to 127.0.0.1, writes frames or raw bytes, and collects the frames
// it receives so that a test can wait for one by its code.
class FrameClient : public QObject
{
    Q_OBJECT

public:
    struct Frame
    {
        quint32 code = 0;
        QByteArray fields;
    };

    // Frames longer than this, or too short for a code, end the connection.
    static constexpr quint32 kMaxFrameLength = 64 * 1024 * 1024;

    explicit FrameClient(QObject* ip_parent = nullptr);

    bool Connect(quint16 i_port, int i_timeoutMs = 10000);
    bool IsConnected() const;
    bool WaitForDisconnected(int i_timeoutMs = 10000);
    void Close();

    void SendMessage(quint32 i_code, const QByteArray& i_fields);
    void SendRaw(const QByteArray& i_bytes);
    // Waits until the bytes written so far have left the socket.
    bool WaitForWritten(int i_timeoutMs = 10000);

    // Waits for the first frame with the code not taken yet, removes it and returns its fields.
    std::optional<QByteArray> Take(quint32 i_code, int i_timeoutMs = 10000);
    // Waits for the oldest frame not taken yet, whatever its code, and removes it.
    std::optional<Frame> TakeNext(int i_timeoutMs = 10000);
    // Frames received and not taken, oldest first.
    QList<Frame> Pending() const { return m_frames; }
    // How many times data arrived on the socket.
    int ReadCount() const { return m_readCount; }

signals:
    void FrameArrived(quint32 i_code, const QByteArray& i_fields);

private:
    void OnReadyRead();

    QTcpSocket* mp_socket = nullptr;
    QByteArray m_input;
    QList<Frame> m_frames;
    int m_readCount = 0;
};
