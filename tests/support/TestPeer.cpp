#include "TestPeer.h"

#include "TestObfuscation.h"
#include "TestPeerMessages.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

namespace
{
TestPeer::Mode ModeOfType(const QByteArray& i_type)
{
    if (i_type == "F")
        return TestPeer::Mode::Raw;
    if (i_type == "D")
        return TestPeer::Mode::Distributed;
    return TestPeer::Mode::Peer;
}

quint32 LittleEndian32(const char* ip_bytes)
{
    quint32 l_value = 0;
    for (int l_index = 0; l_index < 4; ++l_index)
        l_value |= quint32(quint8(ip_bytes[l_index])) << (8 * l_index);
    return l_value;
}
} // namespace

TestPeer::TestPeer(QObject* ip_parent)
    : QObject(ip_parent), m_maxFrameLength(TestPeerMessages::kMaxFrameLength)
{
}

TestPeer::~TestPeer()
{
    for (auto& l_entry : m_connections)
    {
        if (QTcpSocket* lp_socket = l_entry.second->socket)
        {
            lp_socket->disconnect(this);
            lp_socket->abort();
        }
    }
}

bool TestPeer::Listen(quint16 i_plainPort, quint16 i_obfuscatedPort)
{
    StopListening();
    mp_plainServer = new QTcpServer(this);
    mp_obfuscatedServer = new QTcpServer(this);
    connect(mp_plainServer, &QTcpServer::newConnection, this,
            [this] { OnNewConnection(mp_plainServer, false); });
    connect(mp_obfuscatedServer, &QTcpServer::newConnection, this,
            [this] { OnNewConnection(mp_obfuscatedServer, true); });
    const QHostAddress l_loopback(QHostAddress::LocalHost);
    return mp_plainServer->listen(l_loopback, i_plainPort) &&
           mp_obfuscatedServer->listen(l_loopback, i_obfuscatedPort);
}

void TestPeer::StopListening()
{
    delete mp_plainServer;
    mp_plainServer = nullptr;
    delete mp_obfuscatedServer;
    mp_obfuscatedServer = nullptr;
}

quint16 TestPeer::PlainPort() const
{
    return mp_plainServer ? mp_plainServer->serverPort() : 0;
}

quint16 TestPeer::ObfuscatedPort() const
{
    return mp_obfuscatedServer ? mp_obfuscatedServer->serverPort() : 0;
}

int TestPeer::Dial(quint16 i_port, bool i_obfuscated)
{
    QTcpSocket* lp_socket = new QTcpSocket(this);
    const int l_id = AddConnection(lp_socket, false, i_obfuscated, Mode::Peer);
    connect(lp_socket, &QTcpSocket::connected, this,
            [this, l_id]
            {
                Find(l_id)->connected = true;
                emit Connected(l_id);
                emit Changed(l_id);
            });
    lp_socket->connectToHost(QHostAddress(QHostAddress::LocalHost), i_port);
    return l_id;
}

void TestPeer::SetMode(int i_connection, Mode i_mode)
{
    if (Connection* lp_connection = Find(i_connection))
        lp_connection->mode = i_mode;
    Parse(i_connection);
}

TestPeer::Mode TestPeer::GetMode(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection ? lp_connection->mode : Mode::Peer;
}

void TestPeer::ExpectPierceFirewall(quint32 i_token, const QByteArray& i_type)
{
    m_pierceTypes.insert(i_token, i_type);
}

void TestPeer::SetMaxFrameLength(quint32 i_length)
{
    m_maxFrameLength = i_length;
}

quint32 TestPeer::MaxFrameLength() const
{
    return m_maxFrameLength;
}

void TestPeer::SendPeerInit(int i_connection, const QByteArray& i_user, const QByteArray& i_type,
                            quint32 i_trailing)
{
    SendBody(i_connection, TestPeerMessages::PeerInit(i_user, i_type, i_trailing));
    Connection* lp_connection = Find(i_connection);
    if (lp_connection && !lp_connection->incoming)
        lp_connection->mode = ModeOfType(i_type);
}

void TestPeer::SendPierceFirewall(int i_connection, quint32 i_token, Mode i_then)
{
    SendBody(i_connection, TestPeerMessages::PierceFirewall(i_token));
    if (Connection* lp_connection = Find(i_connection))
        lp_connection->mode = i_then;
}

void TestPeer::SendBody(int i_connection, const QByteArray& i_body)
{
    const Connection* lp_connection = Find(i_connection);
    if (lp_connection && lp_connection->obfuscated)
        SendBodyWithKey(i_connection, i_body, QRandomGenerator::global()->generate());
    else
        SendPlainBody(i_connection, i_body);
}

void TestPeer::SendBodyWithKey(int i_connection, const QByteArray& i_body, quint32 i_key)
{
    Write(i_connection, TestPeerMessages::ObfuscatedFrame(i_body, i_key));
}

void TestPeer::SendPlainBody(int i_connection, const QByteArray& i_body)
{
    Write(i_connection, TestPeerMessages::Frame(i_body));
}

void TestPeer::SendMessage(int i_connection, quint32 i_code, const QByteArray& i_fields)
{
    SendBody(i_connection, TestPeerMessages::Message(i_code, i_fields));
}

void TestPeer::SendCompressedMessage(int i_connection, quint32 i_code, const QByteArray& i_content)
{
    SendBody(i_connection, TestPeerMessages::CompressedMessage(i_code, i_content));
}

void TestPeer::SendFileToken(int i_connection, quint32 i_token)
{
    WireWriter l_token;
    l_token.WriteU32(i_token);
    Write(i_connection, l_token.Bytes());
}

void TestPeer::SendDistributed(int i_connection, const QByteArray& i_message)
{
    SendPlainBody(i_connection, i_message);
}

void TestPeer::SendRaw(int i_connection, const QByteArray& i_bytes)
{
    Write(i_connection, i_bytes);
}

void TestPeer::StopReading(int i_connection)
{
    Connection* lp_connection = Find(i_connection);
    if (!lp_connection || !lp_connection->socket)
        return;
    disconnect(lp_connection->socket, &QTcpSocket::readyRead, this, nullptr);
    // A full read buffer stops the socket taking bytes from the kernel.
    lp_connection->socket->setReadBufferSize(4096);
}

void TestPeer::Close(int i_connection)
{
    Connection* lp_connection = Find(i_connection);
    if (!lp_connection || !lp_connection->socket)
        return;
    lp_connection->socket->disconnectFromHost();
    if (lp_connection->socket &&
        lp_connection->socket->state() == QAbstractSocket::UnconnectedState)
        OnDisconnected(i_connection);
}

void TestPeer::Abort(int i_connection)
{
    Connection* lp_connection = Find(i_connection);
    if (!lp_connection || !lp_connection->socket)
        return;
    lp_connection->socket->abort();
    OnDisconnected(i_connection);
}

QList<int> TestPeer::ConnectionIds() const
{
    QList<int> l_ids;
    for (const auto& l_entry : m_connections)
        l_ids.append(l_entry.first);
    return l_ids;
}

QList<int> TestPeer::IncomingConnectionIds() const
{
    return m_incoming;
}

bool TestPeer::IsOpen(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection && lp_connection->open;
}

bool TestPeer::IsConnected(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection && lp_connection->open && lp_connection->connected;
}

bool TestPeer::IsIncoming(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection && lp_connection->incoming;
}

bool TestPeer::IsObfuscated(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection && lp_connection->obfuscated;
}

TestPeer::FirstMessage TestPeer::ReceivedFirstMessage(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection ? lp_connection->firstMessage : FirstMessage();
}

QList<TestPeer::Frame> TestPeer::Frames(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection ? lp_connection->frames : QList<Frame>();
}

QByteArray TestPeer::RawBytes(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection ? lp_connection->raw : QByteArray();
}

QByteArray TestPeer::Wire(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection ? lp_connection->wire : QByteArray();
}

QByteArray TestPeer::Unparsed(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection ? lp_connection->pending.mid(lp_connection->pendingOffset) : QByteArray();
}

QList<QString> TestPeer::ProtocolErrors(int i_connection) const
{
    const Connection* lp_connection = Find(i_connection);
    return lp_connection ? lp_connection->protocolErrors : QList<QString>();
}

template <typename Predicate> bool TestPeer::WaitUntil(Predicate i_done, int i_timeoutMs)
{
    const QDeadlineTimer l_deadline(i_timeoutMs);
    QSignalSpy l_spy(this, &TestPeer::Changed);
    while (!i_done())
    {
        if (l_deadline.hasExpired())
            return false;
        l_spy.wait(int(qMax<qint64>(1, l_deadline.remainingTime())));
    }
    return true;
}

int TestPeer::NextIncoming(int i_timeoutMs)
{
    if (!WaitUntil([this] { return m_incoming.size() > m_incomingTaken; }, i_timeoutMs))
        return -1;
    return m_incoming.at(m_incomingTaken++);
}

bool TestPeer::WaitForConnected(int i_connection, int i_timeoutMs)
{
    return WaitUntil([this, i_connection] { return IsConnected(i_connection); }, i_timeoutMs);
}

bool TestPeer::WaitForFirstMessage(int i_connection, int i_timeoutMs)
{
    return WaitUntil([this, i_connection]
                     { return Find(i_connection) && Find(i_connection)->firstMessage.received; },
                     i_timeoutMs);
}

bool TestPeer::WaitForFrames(int i_connection, int i_count, int i_timeoutMs)
{
    return WaitUntil([this, i_connection, i_count]
                     { return Find(i_connection) && Find(i_connection)->frames.size() >= i_count; },
                     i_timeoutMs);
}

bool TestPeer::WaitForRawBytes(int i_connection, qsizetype i_count, int i_timeoutMs)
{
    return WaitUntil([this, i_connection, i_count]
                     { return Find(i_connection) && Find(i_connection)->raw.size() >= i_count; },
                     i_timeoutMs);
}

bool TestPeer::WaitForWire(int i_connection, qsizetype i_count, int i_timeoutMs)
{
    return WaitUntil([this, i_connection, i_count]
                     { return Find(i_connection) && Find(i_connection)->wire.size() >= i_count; },
                     i_timeoutMs);
}

bool TestPeer::WaitForDisconnected(int i_connection, int i_timeoutMs)
{
    return WaitUntil([this, i_connection] { return Find(i_connection) && !IsOpen(i_connection); },
                     i_timeoutMs);
}

void TestPeer::OnNewConnection(QTcpServer* ip_server, bool i_obfuscated)
{
    while (ip_server->hasPendingConnections())
    {
        QTcpSocket* lp_socket = ip_server->nextPendingConnection();
        lp_socket->setParent(this);
        const int l_id = AddConnection(lp_socket, true, i_obfuscated, Mode::FirstMessage);
        Find(l_id)->connected = true;
        m_incoming.append(l_id);
        emit ConnectionAccepted(l_id, i_obfuscated);
        emit Changed(l_id);
        if (lp_socket->bytesAvailable() > 0)
            OnReadyRead(l_id);
    }
}

int TestPeer::AddConnection(QTcpSocket* ip_socket, bool i_incoming, bool i_obfuscated, Mode i_mode)
{
    const int l_id = m_nextId++;
    auto lp_connection = std::make_unique<Connection>();
    lp_connection->socket = ip_socket;
    lp_connection->incoming = i_incoming;
    lp_connection->obfuscated = i_obfuscated;
    lp_connection->mode = i_mode;
    m_connections.emplace(l_id, std::move(lp_connection));
    connect(ip_socket, &QTcpSocket::readyRead, this, [this, l_id] { OnReadyRead(l_id); });
    connect(ip_socket, &QTcpSocket::disconnected, this, [this, l_id] { OnDisconnected(l_id); });
    connect(ip_socket, &QTcpSocket::errorOccurred, this, [this, l_id] { OnError(l_id); });
    return l_id;
}

void TestPeer::OnReadyRead(int i_connection)
{
    Connection* lp_connection = Find(i_connection);
    if (!lp_connection || !lp_connection->socket)
        return;
    const QByteArray l_bytes = lp_connection->socket->readAll();
    if (l_bytes.isEmpty())
        return;
    lp_connection->wire.append(l_bytes);
    lp_connection->pending.append(l_bytes);
    Parse(i_connection);
    // Also when the bytes complete nothing: waits on the wire see them.
    emit Changed(i_connection);
}

void TestPeer::OnDisconnected(int i_connection)
{
    Connection* lp_connection = Find(i_connection);
    if (!lp_connection || !lp_connection->open)
        return;
    // Bytes that came with the close are still recorded.
    if (lp_connection->socket && lp_connection->socket->bytesAvailable() > 0)
        OnReadyRead(i_connection);
    if (!lp_connection->open)
        return;
    lp_connection->open = false;
    if (QTcpSocket* lp_socket = lp_connection->socket)
    {
        lp_connection->socket = nullptr;
        lp_socket->disconnect(this);
        lp_socket->deleteLater();
    }
    emit Disconnected(i_connection);
    emit Changed(i_connection);
}

void TestPeer::OnError(int i_connection)
{
    Connection* lp_connection = Find(i_connection);
    if (!lp_connection || !lp_connection->open)
        return;
    if (!lp_connection->connected)
    {
        emit ConnectFailed(i_connection);
        emit Changed(i_connection);
    }
    OnDisconnected(i_connection);
}

void TestPeer::Parse(int i_connection)
{
    Connection* lp_connection = Find(i_connection);
    // A slot of a signal below may write, close or feed more data; the outer loop carries on.
    if (!lp_connection || lp_connection->parsing)
        return;
    lp_connection->parsing = true;
    while (!lp_connection->failed)
    {
        if (lp_connection->mode == Mode::Raw)
        {
            const QByteArray l_bytes = lp_connection->pending.mid(lp_connection->pendingOffset);
            lp_connection->pending.clear();
            lp_connection->pendingOffset = 0;
            if (l_bytes.isEmpty())
                break;
            lp_connection->raw.append(l_bytes);
            emit RawReceived(i_connection, l_bytes);
            emit Changed(i_connection);
            continue;
        }
        // Distributed frames are never obfuscated, whatever port they came in on.
        const bool l_obfuscated =
            lp_connection->obfuscated && lp_connection->mode != Mode::Distributed;
        Frame l_frame;
        QString l_error;
        if (!TakeFrame(*lp_connection, l_obfuscated, l_frame, l_error))
        {
            if (!l_error.isEmpty())
                Fail(i_connection, l_error);
            break;
        }
        if (lp_connection->mode == Mode::FirstMessage)
        {
            HandleFirstMessage(i_connection, *lp_connection, l_frame.body);
            emit FirstMessageReceived(i_connection);
            emit Changed(i_connection);
            continue;
        }
        const qsizetype l_codeSize = lp_connection->mode == Mode::Peer ? 4 : 1;
        l_frame.hasCode = l_frame.body.size() >= l_codeSize;
        if (l_frame.hasCode)
        {
            l_frame.code = l_codeSize == 4 ? LittleEndian32(l_frame.body.constData())
                                           : quint8(l_frame.body.at(0));
            l_frame.fields = l_frame.body.mid(l_codeSize);
        }
        lp_connection->frames.append(l_frame);
        if (lp_connection->mode == Mode::Peer)
            emit FrameReceived(i_connection, l_frame.code, l_frame.fields);
        else
            emit DistributedFrameReceived(i_connection, quint8(l_frame.code), l_frame.fields);
        emit Changed(i_connection);
    }
    lp_connection->parsing = false;
}

bool TestPeer::TakeFrame(Connection& io_connection, bool i_obfuscated, Frame& o_frame,
                         QString& o_error)
{
    const qsizetype l_available = io_connection.pending.size() - io_connection.pendingOffset;
    const qsizetype l_header = i_obfuscated ? 8 : 4;
    if (l_available < l_header)
        return false;
    const char* lp_start = io_connection.pending.constData() + io_connection.pendingOffset;
    quint32 l_key = 0;
    quint32 l_length = LittleEndian32(lp_start + l_header - 4);
    if (i_obfuscated)
    {
        l_key = LittleEndian32(lp_start);
        l_length ^= TestObfuscation::RotateLeft(l_key);
    }
    if (l_length > m_maxFrameLength)
    {
        o_error = QStringLiteral("frame length %1 above %2").arg(l_length).arg(m_maxFrameLength);
        return false;
    }
    const qsizetype l_total = l_header + qsizetype(l_length);
    if (l_available < l_total)
        return false;
    o_frame.wire = QByteArray(lp_start, l_total);
    o_frame.obfuscated = i_obfuscated;
    o_frame.key = l_key;
    o_frame.body =
        (i_obfuscated ? TestObfuscation::Deobfuscate(o_frame.wire) : o_frame.wire).mid(4);

    io_connection.pendingOffset += l_total;
    if (io_connection.pendingOffset == io_connection.pending.size())
    {
        io_connection.pending.clear();
        io_connection.pendingOffset = 0;
    }
    else if (io_connection.pendingOffset * 2 > io_connection.pending.size())
    {
        // Drop consumed bytes once they are the larger part, so many small frames stay linear.
        io_connection.pending.remove(0, io_connection.pendingOffset);
        io_connection.pendingOffset = 0;
    }
    return true;
}

void TestPeer::HandleFirstMessage(int i_connection, Connection& io_connection,
                                  const QByteArray& i_body)
{
    FirstMessage& l_message = io_connection.firstMessage;
    l_message = FirstMessage();
    l_message.received = true;
    l_message.body = i_body;
    WireReader l_reader(i_body);
    l_message.direction = l_reader.ReadU8();
    Mode l_next = Mode::Peer;
    if (l_reader.Ok() && l_message.direction == 0)
    {
        l_message.value = l_reader.ReadU32();
        l_message.valid = l_reader.Ok() && l_reader.AtEnd();
        if (l_message.valid)
            l_next = ModeOfType(m_pierceTypes.value(l_message.value));
    }
    else if (l_reader.Ok())
    {
        l_message.user = l_reader.ReadString();
        l_message.type = l_reader.ReadString();
        l_message.value = l_reader.ReadU32();
        l_message.valid = l_message.direction == 1 && l_reader.Ok() && l_reader.AtEnd();
        if (l_reader.Ok())
            l_next = ModeOfType(l_message.type);
    }
    if (!l_message.valid)
    {
        io_connection.protocolErrors.append(QStringLiteral("malformed first message"));
        emit ProtocolError(i_connection, io_connection.protocolErrors.last());
    }
    io_connection.mode = l_next;
}

void TestPeer::Fail(int i_connection, const QString& i_reason)
{
    Connection* lp_connection = Find(i_connection);
    if (!lp_connection)
        return;
    lp_connection->failed = true;
    lp_connection->protocolErrors.append(i_reason);
    emit ProtocolError(i_connection, i_reason);
    emit Changed(i_connection);
    Abort(i_connection);
}

void TestPeer::Write(int i_connection, const QByteArray& i_bytes)
{
    Connection* lp_connection = Find(i_connection);
    if (!lp_connection || !lp_connection->socket)
    {
        qWarning("TestPeer: no open connection %d to write to", i_connection);
        return;
    }
    if (lp_connection->socket->write(i_bytes) != i_bytes.size())
        qWarning("TestPeer: write on connection %d failed", i_connection);
    // Each send leaves at once, so pieces sent one by one can arrive one by one; before the
    // connection is made the socket keeps the bytes and sends them once it is.
    if (lp_connection->socket->state() == QAbstractSocket::ConnectedState)
        lp_connection->socket->flush();
}

TestPeer::Connection* TestPeer::Find(int i_connection)
{
    const auto l_found = m_connections.find(i_connection);
    return l_found == m_connections.end() ? nullptr : l_found->second.get();
}

const TestPeer::Connection* TestPeer::Find(int i_connection) const
{
    const auto l_found = m_connections.find(i_connection);
    return l_found == m_connections.end() ? nullptr : l_found->second.get();
}
