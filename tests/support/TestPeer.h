#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

class QTcpServer;
class QTcpSocket;

// Another user's client, for tests: listens on a plain and an obfuscated port of 127.0.0.1, dials
// ports of 127.0.0.1, writes first messages, framed peer messages (plain or obfuscated with a
// chosen key), distributed frames, file tokens and raw bytes, and records everything it receives
// per connection. Connections are named by ids that stay valid, with their records, after the
// socket has closed.
class TestPeer : public QObject
{
    Q_OBJECT

public:
    // How the bytes that arrive on a connection are cut into records.
    enum class Mode
    {
        FirstMessage, // one framed first message, then the mode its type names
        Peer,         // frames whose bodies start with a u32 code
        Distributed,  // plain frames whose bodies start with a one-byte code
        Raw           // no framing: bytes as they come (file connections)
    };

    struct FirstMessage
    {
        bool received = false;
        // The body is exactly one of the two layouts, with nothing left over.
        bool valid = false;
        quint8 direction = 0;
        QByteArray user;   // direction 1
        QByteArray type;   // direction 1
        quint32 value = 0; // the token (direction 0) or the trailing u32 (direction 1)
        QByteArray body;
    };

    struct Frame
    {
        QByteArray wire; // the bytes as they arrived: key (when obfuscated), length, body
        bool obfuscated = false;
        quint32 key = 0;
        QByteArray body; // de-obfuscated
        bool hasCode = false;
        quint32 code = 0;  // u32 on peer frames, the first byte on distributed frames
        QByteArray fields; // the body after the code
    };

    explicit TestPeer(QObject* ip_parent = nullptr);
    ~TestPeer() override;

    // Port 0 takes any free port; returns false when either port cannot be bound.
    bool Listen(quint16 i_plainPort = 0, quint16 i_obfuscatedPort = 0);
    void StopListening();
    quint16 PlainPort() const;
    quint16 ObfuscatedPort() const;

    // Connects to 127.0.0.1; i_obfuscated says how frames on it are written and read. Bytes sent
    // before Connected are buffered by the socket.
    int Dial(quint16 i_port, bool i_obfuscated);

    void SetMode(int i_connection, Mode i_mode);
    Mode GetMode(int i_connection) const;
    // A connection whose first message answers the relayed request with this token continues in
    // the mode of the type ("P", "F" or "D"); unknown tokens continue as "P".
    void ExpectPierceFirewall(quint32 i_token, const QByteArray& i_type);
    // A received frame longer than this is a protocol error and aborts the connection.
    void SetMaxFrameLength(quint32 i_length);
    quint32 MaxFrameLength() const;

    // Sending. Bodies are framed as the connection is: obfuscated connections with a fresh
    // random key per frame, except distributed frames, which are always plain. On a dialed
    // connection SendPeerInit also sets the mode that its type names.
    void SendPeerInit(int i_connection, const QByteArray& i_user, const QByteArray& i_type,
                      quint32 i_trailing = 0);
    void SendPierceFirewall(int i_connection, quint32 i_token, Mode i_then = Mode::Peer);
    void SendBody(int i_connection, const QByteArray& i_body);
    void SendBodyWithKey(int i_connection, const QByteArray& i_body, quint32 i_key);
    void SendPlainBody(int i_connection, const QByteArray& i_body);
    void SendMessage(int i_connection, quint32 i_code, const QByteArray& i_fields);
    void SendCompressedMessage(int i_connection, quint32 i_code, const QByteArray& i_content);
    void SendFileToken(int i_connection, quint32 i_token);
    void SendDistributed(int i_connection, const QByteArray& i_message);
    void SendRaw(int i_connection, const QByteArray& i_bytes);
    // Takes no more bytes of the connection, so that the sender's buffers fill up.
    void StopReading(int i_connection);
    // Closes after the written bytes are sent; Abort drops them.
    void Close(int i_connection);
    void Abort(int i_connection);

    // Records.
    QList<int> ConnectionIds() const;
    QList<int> IncomingConnectionIds() const;
    bool IsOpen(int i_connection) const;
    bool IsConnected(int i_connection) const;
    bool IsIncoming(int i_connection) const;
    bool IsObfuscated(int i_connection) const;
    FirstMessage ReceivedFirstMessage(int i_connection) const;
    QList<Frame> Frames(int i_connection) const;
    QByteArray RawBytes(int i_connection) const; // what arrived in raw mode
    QByteArray Wire(int i_connection) const;     // every byte that arrived
    QByteArray Unparsed(int i_connection) const; // arrived, not yet a whole frame
    QList<QString> ProtocolErrors(int i_connection) const;

    // Waiting, on this object's signals, at most i_timeoutMs; false on time-out.
    int NextIncoming(int i_timeoutMs = 15000); // the next accepted connection not yet taken, or -1
    bool WaitForConnected(int i_connection, int i_timeoutMs = 15000);
    bool WaitForFirstMessage(int i_connection, int i_timeoutMs = 15000);
    bool WaitForFrames(int i_connection, int i_count, int i_timeoutMs = 15000);
    bool WaitForRawBytes(int i_connection, qsizetype i_count, int i_timeoutMs = 15000);
    bool WaitForWire(int i_connection, qsizetype i_count, int i_timeoutMs = 15000);
    bool WaitForDisconnected(int i_connection, int i_timeoutMs = 15000);

signals:
    void ConnectionAccepted(int i_connection, bool i_obfuscated);
    void Connected(int i_connection);
    void ConnectFailed(int i_connection);
    void FirstMessageReceived(int i_connection);
    void FrameReceived(int i_connection, quint32 i_code, const QByteArray& i_fields);
    void DistributedFrameReceived(int i_connection, quint8 i_code, const QByteArray& i_fields);
    void RawReceived(int i_connection, const QByteArray& i_bytes);
    void ProtocolError(int i_connection, const QString& i_reason);
    void Disconnected(int i_connection);
    // After anything above and after every arrival of bytes; the waits use it.
    void Changed(int i_connection);

private:
    struct Connection
    {
        QTcpSocket* socket = nullptr;
        bool incoming = false;
        bool obfuscated = false;
        bool connected = false;
        bool open = true;
        bool parsing = false;
        bool failed = false;
        Mode mode = Mode::Peer;
        QByteArray pending; // unparsed bytes start at pendingOffset
        qsizetype pendingOffset = 0;
        QByteArray wire;
        QByteArray raw;
        FirstMessage firstMessage;
        QList<Frame> frames;
        QList<QString> protocolErrors;
    };

    void OnNewConnection(QTcpServer* ip_server, bool i_obfuscated);
    int AddConnection(QTcpSocket* ip_socket, bool i_incoming, bool i_obfuscated, Mode i_mode);
    void OnReadyRead(int i_connection);
    void OnDisconnected(int i_connection);
    void OnError(int i_connection);
    void Parse(int i_connection);
    bool TakeFrame(Connection& io_connection, bool i_obfuscated, Frame& o_frame, QString& o_error);
    void HandleFirstMessage(int i_connection, Connection& io_connection, const QByteArray& i_body);
    void Fail(int i_connection, const QString& i_reason);
    void Write(int i_connection, const QByteArray& i_bytes);
    Connection* Find(int i_connection);
    const Connection* Find(int i_connection) const;
    template <typename Predicate> bool WaitUntil(Predicate i_done, int i_timeoutMs);

    QTcpServer* mp_plainServer = nullptr;
    QTcpServer* mp_obfuscatedServer = nullptr;
    std::map<int, std::unique_ptr<Connection>> m_connections;
    QList<int> m_incoming;
    qsizetype m_incomingTaken = 0;
    QHash<quint32, QByteArray> m_pierceTypes;
    quint32 m_maxFrameLength;
    int m_nextId = 1;
};
