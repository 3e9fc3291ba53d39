#include "TestServer.h"

#include "WireReader.h"
#include "WireWriter.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace
{
enum Code : quint32
{
    kLogin = 1,
    kSetWaitPort = 2,
    kUserAddress = 3,
    kWatchUser = 5,
    kUnwatchUser = 6,
    kUserStatus = 7,
    kRoomChat = 13,
    kEnterRoom = 14,
    kLeaveRoom = 15,
    kUserJoinedRoom = 16,
    kUserLeftRoom = 17,
    kConnectToPeer = 18,
    kPrivateMessage = 22,
    kAcknowledgePrivateMessage = 23,
    kFileSearch = 26,
    kSharedFoldersFiles = 35,
    kUserStats = 36,
    kRoomList = 64,
    kParentMinSpeed = 83,
    kParentSpeedRatio = 84,
    kPrivilegesStatus = 92,
    kEmbeddedMessage = 93,
    kWishListSearch = 103,
    kWishListInterval = 104,
    kUploadSpeed = 121,
    kCannotConnect = 1001,
};

// The distributed search inside code 93: its message code and the embedded search's code.
constexpr quint8 kDistributedEmbedded = 3;
constexpr quint32 kDistributedSearch = 49;

// A user offline for long must not make the server hold messages without end.
constexpr int kMaxUnacknowledgedPerUser = 1000;
// Watches of names that never log in must not grow without end either.
constexpr qsizetype kMaxWatchesPerConnection = 10000;

QByteArray LoginHash(const QByteArray& i_user, const QByteArray& i_password)
{
    return QCryptographicHash::hash(i_user + i_password, QCryptographicHash::Md5).toHex();
}

void WarnMalformed(int i_connection, quint32 i_code)
{
    qWarning("test server: malformed message %u from connection %d ignored", i_code, i_connection);
}

void WarnNotInRoom(int i_connection, const QByteArray& i_room)
{
    qWarning("test server: connection %d is not in room %s, message ignored", i_connection,
             i_room.toHex().constData());
}
} // namespace

TestServer::TestServer(QObject* ip_parent) : QObject(ip_parent), mp_listener(new QTcpServer(this))
{
    connect(mp_listener, &QTcpServer::newConnection, this, &TestServer::OnNewConnection);
}

TestServer::~TestServer()
{
    for (auto& [l_id, l_connection] : m_connections)
    {
        if (l_connection.socket)
        {
            l_connection.socket->disconnect(this);
            l_connection.socket->abort();
        }
    }
}

bool TestServer::Listen(quint16 i_port)
{
    return mp_listener->listen(QHostAddress(QHostAddress::LocalHost), i_port);
}

quint16 TestServer::Port() const
{
    return mp_listener->serverPort();
}

void TestServer::SetPassword(const QByteArray& i_user, const QByteArray& i_password)
{
    User& l_user = m_users[i_user];
    l_user.hasPassword = true;
    l_user.password = i_password;
}

void TestServer::RefuseLogin(const QByteArray& i_user, const QByteArray& i_reason)
{
    m_users[i_user].refusal = i_reason;
}

void TestServer::SetUserCountry(const QByteArray& i_user, const QByteArray& i_country)
{
    m_users[i_user].country = i_country;
}

void TestServer::SetNoSuchUser(const QByteArray& i_user)
{
    m_noSuchUsers.insert(i_user);
}

void TestServer::SetParentMinSpeed(qint32 i_speed)
{
    m_parentMinSpeed = i_speed;
}

void TestServer::SetParentSpeedRatio(qint32 i_ratio)
{
    m_parentSpeedRatio = i_ratio;
}

void TestServer::SetWishListInterval(quint32 i_seconds)
{
    m_wishListInterval = i_seconds;
}

void TestServer::SetAutomaticReplies(bool i_enabled)
{
    m_automaticReplies = i_enabled;
}

void TestServer::SetRecording(bool i_enabled)
{
    m_recording = i_enabled;
}

void TestServer::SendFrame(int i_connection, quint32 i_code, const QByteArray& i_fields)
{
    SendRaw(i_connection, WireWriter::Frame(i_code, i_fields));
}

void TestServer::SendFrames(int i_connection, const QList<QPair<quint32, QByteArray>>& i_frames)
{
    QByteArray l_bytes;
    for (const auto& l_frame : i_frames)
    {
        l_bytes.append(WireWriter::Frame(l_frame.first, l_frame.second));
    }
    SendRaw(i_connection, l_bytes);
}

void TestServer::SendFrameInPieces(int i_connection, quint32 i_code, const QByteArray& i_fields,
                                   const QList<int>& i_pieceSizes, int i_intervalMs)
{
    SendRawInPieces(i_connection, WireWriter::Frame(i_code, i_fields), i_pieceSizes, i_intervalMs);
}

void TestServer::SendRaw(int i_connection, const QByteArray& i_bytes)
{
    Enqueue(i_connection, {Outgoing{i_bytes, 0, false}});
}

void TestServer::SendRawInPieces(int i_connection, const QByteArray& i_bytes,
                                 const QList<int>& i_pieceSizes, int i_intervalMs)
{
    QList<Outgoing> l_pieces;
    qsizetype l_offset = 0;
    for (int l_size : i_pieceSizes)
    {
        if (l_offset >= i_bytes.size())
        {
            break;
        }
        const QByteArray l_piece = i_bytes.mid(l_offset, qMax(l_size, 0));
        l_offset += l_piece.size();
        l_pieces.append(Outgoing{l_piece, l_pieces.isEmpty() ? 0 : qMax(i_intervalMs, 1), false});
    }
    if (l_offset < i_bytes.size())
    {
        l_pieces.append(
            Outgoing{i_bytes.mid(l_offset), l_pieces.isEmpty() ? 0 : qMax(i_intervalMs, 1), false});
    }
    if (l_pieces.isEmpty())
    {
        l_pieces.append(Outgoing{});
    }
    l_pieces.last().endsPieces = true;
    Enqueue(i_connection, l_pieces);
}

void TestServer::DropConnection(int i_connection)
{
    if (Connection* lp_connection = FindOpen(i_connection))
    {
        lp_connection->socket->flush();
        CloseConnection(i_connection);
    }
}

QList<int> TestServer::Connections() const
{
    QList<int> l_open;
    for (const auto& [l_id, l_connection] : m_connections)
    {
        if (l_connection.socket)
        {
            l_open.append(l_id);
        }
    }
    return l_open;
}

int TestServer::ConnectionOf(const QByteArray& i_user) const
{
    const auto l_user = m_users.find(i_user);
    return l_user == m_users.end() ? 0 : l_user->second.connection;
}

QByteArray TestServer::UserOf(int i_connection) const
{
    const auto l_connection = m_connections.find(i_connection);
    return l_connection == m_connections.end() ? QByteArray() : l_connection->second.user;
}

bool TestServer::IsLoggedIn(int i_connection) const
{
    const Connection* lp_connection = FindOpen(i_connection);
    return lp_connection && lp_connection->loggedIn;
}

QList<TestServer::ReceivedFrame> TestServer::ReceivedFrames(int i_connection) const
{
    const auto l_connection = m_connections.find(i_connection);
    return l_connection == m_connections.end() ? QList<ReceivedFrame>()
                                               : l_connection->second.frames;
}

QList<TestServer::ReceivedFrame> TestServer::ReceivedFrames(int i_connection, quint32 i_code) const
{
    QList<ReceivedFrame> l_frames;
    for (const ReceivedFrame& l_frame : ReceivedFrames(i_connection))
    {
        if (l_frame.code == i_code)
        {
            l_frames.append(l_frame);
        }
    }
    return l_frames;
}

void TestServer::ClearReceivedFrames(int i_connection)
{
    const auto l_connection = m_connections.find(i_connection);
    if (l_connection != m_connections.end())
    {
        l_connection->second.frames.clear();
    }
}

QList<QByteArray> TestServer::RoomMembers(const QByteArray& i_room) const
{
    const auto l_room = m_rooms.find(i_room);
    return l_room == m_rooms.end() ? QList<QByteArray>() : l_room->second.members;
}

void TestServer::OnNewConnection()
{
    while (QTcpSocket* lp_socket = mp_listener->nextPendingConnection())
    {
        const int l_id = ++m_lastConnection;
        lp_socket->setParent(this);
        Connection& l_connection = m_connections[l_id];
        l_connection.socket = lp_socket;
        l_connection.address = lp_socket->peerAddress().toIPv4Address();
        connect(lp_socket, &QTcpSocket::readyRead, this, [this, l_id]() { OnReadyRead(l_id); });
        // Queued, so that a connection never vanishes in the middle of a handler that writes to
        // it or walks a room.
        connect(
            lp_socket, &QTcpSocket::disconnected, this, [this, l_id]() { CloseConnection(l_id); },
            Qt::QueuedConnection);
        connect(
            lp_socket, &QTcpSocket::errorOccurred, this,
            [this, l_id](QAbstractSocket::SocketError) { CloseConnection(l_id); },
            Qt::QueuedConnection);
        emit ClientConnected(l_id);
        // Bytes may have arrived before the connection was taken.
        if (FindOpen(l_id) && lp_socket->bytesAvailable() > 0)
        {
            OnReadyRead(l_id);
        }
    }
}

TestServer::Connection* TestServer::FindOpen(int i_connection)
{
    const auto l_connection = m_connections.find(i_connection);
    return l_connection == m_connections.end() || !l_connection->second.socket
               ? nullptr
               : &l_connection->second;
}

const TestServer::Connection* TestServer::FindOpen(int i_connection) const
{
    const auto l_connection = m_connections.find(i_connection);
    return l_connection == m_connections.end() || !l_connection->second.socket
               ? nullptr
               : &l_connection->second;
}

void TestServer::OnReadyRead(int i_connection)
{
    Connection* lp_connection = FindOpen(i_connection);
    if (!lp_connection)
    {
        return;
    }
    lp_connection->input.append(lp_connection->socket->readAll());
    qsizetype l_offset = 0;
    // Handlers and the receivers of FrameReceived may close this connection: look it up again
    // after each frame.
    while ((lp_connection = FindOpen(i_connection)) != nullptr)
    {
        const QByteArray& l_input = lp_connection->input;
        if (l_input.size() - l_offset < 4)
        {
            break;
        }
        const quint32 l_length = WireReader(l_input.mid(l_offset, 4)).ReadU32();
        if (l_length < 4 || l_length > kMaxFrameLength)
        {
            qWarning("test server: frame length %u from connection %d refused, closing it",
                     l_length, i_connection);
            CloseConnection(i_connection);
            return;
        }
        if (quint64(l_input.size() - l_offset - 4) < l_length)
        {
            break;
        }
        WireReader l_frame(l_input.mid(l_offset + 4, l_length));
        l_offset += 4 + l_length;
        const quint32 l_code = l_frame.ReadU32();
        const QByteArray l_body = l_frame.ReadRest();
        if (m_recording)
        {
            lp_connection->frames.append(ReceivedFrame{l_code, l_body});
        }
        emit FrameReceived(i_connection, l_code, l_body);
        if (m_automaticReplies && FindOpen(i_connection))
        {
            HandleFrame(i_connection, l_code, l_body);
        }
    }
    if (lp_connection)
    {
        lp_connection->input.remove(0, l_offset);
    }
}

void TestServer::CloseConnection(int i_connection)
{
    const auto l_found = m_connections.find(i_connection);
    if (l_found == m_connections.end() || !l_found->second.socket)
    {
        return;
    }
    Connection& l_connection = l_found->second;
    QTcpSocket* lp_socket = l_connection.socket;
    l_connection.socket = nullptr;
    l_connection.input.clear();
    l_connection.outgoing.clear();
    lp_socket->disconnect(this);
    lp_socket->abort();
    lp_socket->deleteLater();

    const QByteArray l_user = l_connection.user;
    const bool l_wasLoggedIn = l_connection.loggedIn;
    const QSet<QByteArray> l_rooms = l_connection.rooms;
    const QSet<QByteArray> l_watching = l_connection.watching;
    l_connection.loggedIn = false;
    l_connection.rooms.clear();
    l_connection.watching.clear();
    if (!m_recording)
    {
        m_connections.erase(l_found);
    }

    for (const QByteArray& l_watched : l_watching)
    {
        const auto l_watchers = m_watchers.find(l_watched);
        if (l_watchers != m_watchers.end())
        {
            l_watchers->second.remove(i_connection);
            if (l_watchers->second.isEmpty())
            {
                m_watchers.erase(l_watchers);
            }
        }
    }
    if (l_wasLoggedIn)
    {
        m_users[l_user].connection = 0;
        for (const QByteArray& l_room : l_rooms)
        {
            RemoveFromRoom(l_room, l_user);
        }
        NotifyWatchers(l_user, 0);
    }
    emit ClientDisconnected(i_connection);
}

void TestServer::Enqueue(int i_connection, const QList<Outgoing>& i_pieces)
{
    Connection* lp_connection = FindOpen(i_connection);
    if (!lp_connection)
    {
        qWarning("test server: nothing sent to connection %d, it is not open", i_connection);
        return;
    }
    lp_connection->outgoing.append(i_pieces);
    PumpOutgoing(i_connection);
}

void TestServer::PumpOutgoing(int i_connection)
{
    Connection* lp_connection = FindOpen(i_connection);
    if (!lp_connection || lp_connection->pumpScheduled)
    {
        return;
    }
    while (!lp_connection->outgoing.isEmpty())
    {
        Outgoing& l_next = lp_connection->outgoing.first();
        if (l_next.delayMs > 0)
        {
            const int l_delay = l_next.delayMs;
            l_next.delayMs = 0;
            lp_connection->pumpScheduled = true;
            QTimer::singleShot(l_delay, this,
                               [this, i_connection]()
                               {
                                   if (Connection* lp_waiting = FindOpen(i_connection))
                                   {
                                       lp_waiting->pumpScheduled = false;
                                       PumpOutgoing(i_connection);
                                   }
                               });
            return;
        }
        const Outgoing l_piece = lp_connection->outgoing.takeFirst();
        if (lp_connection->socket->state() != QAbstractSocket::ConnectedState)
        {
            lp_connection->outgoing.clear();
            return;
        }
        lp_connection->socket->write(l_piece.bytes);
        lp_connection->socket->flush();
        if (l_piece.endsPieces)
        {
            emit PiecesSent(i_connection);
            lp_connection = FindOpen(i_connection);
            if (!lp_connection)
            {
                return;
            }
        }
    }
}

void TestServer::SendToUser(const QByteArray& i_user, quint32 i_code, const QByteArray& i_fields)
{
    if (const int l_connection = ConnectionOf(i_user))
    {
        SendFrame(l_connection, i_code, i_fields);
    }
}

void TestServer::ActAs(int i_connection, quint32 i_code, const QByteArray& i_fields)
{
    if (FindOpen(i_connection))
    {
        HandleFrame(i_connection, i_code, i_fields);
    }
}

void TestServer::HandleFrame(int i_connection, quint32 i_code, const QByteArray& i_fields)
{
    const Connection* lp_connection = FindOpen(i_connection);
    if (i_code == kLogin)
    {
        HandleLogin(i_connection, i_fields);
        return;
    }
    if (!lp_connection->loggedIn)
    {
        qWarning("test server: message %u before login from connection %d ignored", i_code,
                 i_connection);
        return;
    }
    switch (i_code)
    {
        case kSetWaitPort:
            HandleSetWaitPort(i_connection, i_fields);
            break;
        case kUserAddress:
            HandleGetUserAddress(i_connection, i_fields);
            break;
        case kWatchUser:
            HandleWatchUser(i_connection, i_fields);
            break;
        case kUnwatchUser:
            HandleUnwatchUser(i_connection, i_fields);
            break;
        case kUserStatus:
            HandleGetUserStatus(i_connection, i_fields);
            break;
        case kRoomChat:
            HandleRoomChat(i_connection, i_fields);
            break;
        case kEnterRoom:
            HandleEnterRoom(i_connection, i_fields);
            break;
        case kLeaveRoom:
            HandleLeaveRoom(i_connection, i_fields);
            break;
        case kConnectToPeer:
            HandleConnectionRequest(i_connection, i_fields);
            break;
        case kPrivateMessage:
            HandlePrivateMessage(i_connection, i_fields);
            break;
        case kAcknowledgePrivateMessage:
            HandleAcknowledgement(i_connection, i_fields);
            break;
        case kFileSearch:
        case kWishListSearch:
            HandleSearch(i_connection, i_fields);
            break;
        case kSharedFoldersFiles:
            HandleSharedCounts(i_connection, i_fields);
            break;
        case kUserStats:
            HandleGetUserStats(i_connection, i_fields);
            break;
        case kRoomList:
            HandleRoomListRequest(i_connection);
            break;
        case kPrivilegesStatus:
            SendFrame(i_connection, kPrivilegesStatus, WireWriter().WriteI32(0).Bytes());
            break;
        case kUploadSpeed:
            HandleUploadSpeed(i_connection, i_fields);
            break;
        case kCannotConnect:
            HandleCannotConnect(i_connection, i_fields);
            break;
        default:
            // Distributed-network reports and the like: recorded, nothing to answer.
            break;
    }
}

void TestServer::Refuse(int i_connection, const QByteArray& i_user, const QByteArray& i_reason)
{
    SendFrame(i_connection, kLogin, WireWriter().WriteBool(false).WriteString(i_reason).Bytes());
    emit LoginRefused(i_connection, i_user, i_reason);
}

void TestServer::HandleLogin(int i_connection, const QByteArray& i_fields)
{
    if (FindOpen(i_connection)->loggedIn)
    {
        qWarning("test server: second login on connection %d ignored", i_connection);
        return;
    }
    WireReader l_reader(i_fields);
    const QByteArray l_user = l_reader.ReadString();
    const QByteArray l_password = l_reader.ReadString();
    l_reader.ReadU32();
    const QByteArray l_hash = l_reader.ReadString();
    l_reader.ReadU32();
    if (!l_reader.Ok())
    {
        Refuse(i_connection, l_user, QByteArrayLiteral("INVALIDMESSAGE"));
        return;
    }
    if (l_user.isEmpty())
    {
        Refuse(i_connection, l_user, QByteArrayLiteral("INVALIDUSERNAME"));
        return;
    }
    const auto l_known = m_users.find(l_user);
    if (l_known != m_users.end() && !l_known->second.refusal.isEmpty())
    {
        Refuse(i_connection, l_user, l_known->second.refusal);
        return;
    }
    if (l_known != m_users.end() && l_known->second.hasPassword &&
        l_known->second.password != l_password)
    {
        Refuse(i_connection, l_user, QByteArrayLiteral("INVALIDPASS"));
        return;
    }
    if (l_hash != LoginHash(l_user, l_password))
    {
        Refuse(i_connection, l_user, QByteArrayLiteral("INVALIDHASH"));
        return;
    }

    // The same name logging in again replaces its earlier session.
    if (l_known != m_users.end() && l_known->second.connection != 0)
    {
        CloseConnection(l_known->second.connection);
    }
    User& l_record = m_users[l_user];
    l_record.hasPassword = true;
    l_record.password = l_password;
    l_record.connection = i_connection;
    Connection* lp_connection = FindOpen(i_connection);
    lp_connection->user = l_user;
    lp_connection->loggedIn = true;

    SendFrame(
        i_connection, kLogin,
        WireWriter()
            .WriteBool(true)
            .WriteString(QByteArrayLiteral("Welcome to the test server"))
            .WriteU32(lp_connection->address)
            .WriteString(QCryptographicHash::hash(l_password, QCryptographicHash::Md5).toHex())
            .Bytes());
    SendRoomList(i_connection);
    SendFrame(i_connection, kParentMinSpeed, WireWriter().WriteI32(m_parentMinSpeed).Bytes());
    SendFrame(i_connection, kParentSpeedRatio, WireWriter().WriteI32(m_parentSpeedRatio).Bytes());
    SendFrame(i_connection, kWishListInterval, WireWriter().WriteU32(m_wishListInterval).Bytes());
    const auto l_pending = m_unacknowledged.find(l_user);
    if (l_pending != m_unacknowledged.end())
    {
        for (const PrivateMessage& l_message : l_pending->second)
        {
            DeliverPrivateMessage(i_connection, l_message, false);
        }
    }
    NotifyWatchers(l_user, kStatusOnline);
    emit LoggedIn(i_connection, l_user);
}

void TestServer::HandleSetWaitPort(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const quint32 l_port = l_reader.ReadU32();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kSetWaitPort);
        return;
    }
    Connection* lp_connection = FindOpen(i_connection);
    lp_connection->port = qint32(l_port);
    lp_connection->obfuscationType = 0;
    lp_connection->obfuscatedPort = 0;
    // The obfuscation type and port are optional: a client without them has a plain port only.
    if (l_reader.Remaining() >= 8)
    {
        lp_connection->obfuscationType = l_reader.ReadI32();
        lp_connection->obfuscatedPort = l_reader.ReadI32();
    }
}

void TestServer::HandleGetUserAddress(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_user = l_reader.ReadString();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kUserAddress);
        return;
    }
    // An offline user's address is all zeros.
    WireWriter l_reply;
    l_reply.WriteString(l_user);
    if (const Connection* lp_peer = FindOpen(ConnectionOf(l_user)))
    {
        l_reply.WriteU32(lp_peer->address)
            .WriteI32(lp_peer->port)
            .WriteI32(lp_peer->obfuscationType)
            .WriteU16(quint16(lp_peer->obfuscatedPort));
    }
    else
    {
        l_reply.WriteU32(0).WriteI32(0).WriteI32(0).WriteU16(0);
    }
    SendFrame(i_connection, kUserAddress, l_reply.Bytes());
}

void TestServer::HandleWatchUser(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_user = l_reader.ReadString();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kWatchUser);
        return;
    }
    if (m_noSuchUsers.contains(l_user))
    {
        SendFrame(i_connection, kWatchUser,
                  WireWriter().WriteString(l_user).WriteBool(false).Bytes());
        return;
    }
    // Every other name may log in later, as with stored accounts: the watch is kept and the name
    // answered as an existing user, offline until it logs in.
    Connection* lp_connection = FindOpen(i_connection);
    if (lp_connection->watching.size() < kMaxWatchesPerConnection)
    {
        lp_connection->watching.insert(l_user);
        m_watchers[l_user].insert(i_connection);
    }
    else if (!lp_connection->watching.contains(l_user))
    {
        qWarning("test server: connection %d watches too many users, watch not kept", i_connection);
    }
    WireWriter l_reply;
    const qint32 l_status = StatusOf(l_user);
    l_reply.WriteString(l_user).WriteBool(true).WriteI32(l_status).WriteRaw(
        UserStatsFields(l_user));
    if (l_status > 0)
    {
        l_reply.WriteString(m_users[l_user].country);
    }
    SendFrame(i_connection, kWatchUser, l_reply.Bytes());
}

void TestServer::HandleUnwatchUser(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_user = l_reader.ReadString();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kUnwatchUser);
        return;
    }
    FindOpen(i_connection)->watching.remove(l_user);
    const auto l_watchers = m_watchers.find(l_user);
    if (l_watchers != m_watchers.end())
    {
        l_watchers->second.remove(i_connection);
        if (l_watchers->second.isEmpty())
        {
            m_watchers.erase(l_watchers);
        }
    }
}

void TestServer::HandleGetUserStatus(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_user = l_reader.ReadString();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kUserStatus);
        return;
    }
    SendFrame(i_connection, kUserStatus,
              WireWriter().WriteString(l_user).WriteI32(StatusOf(l_user)).WriteBool(false).Bytes());
}

void TestServer::HandleRoomChat(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_room = l_reader.ReadString();
    const QByteArray l_text = l_reader.ReadString();
    const Connection* lp_connection = FindOpen(i_connection);
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kRoomChat);
        return;
    }
    if (!lp_connection->rooms.contains(l_room))
    {
        WarnNotInRoom(i_connection, l_room);
        return;
    }
    const QByteArray l_chat = WireWriter()
                                  .WriteString(l_room)
                                  .WriteString(lp_connection->user)
                                  .WriteString(l_text)
                                  .Bytes();
    const QList<QByteArray> l_members = m_rooms[l_room].members;
    for (const QByteArray& l_member : l_members)
    {
        SendToUser(l_member, kRoomChat, l_chat);
    }
}

void TestServer::HandleEnterRoom(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_name = l_reader.ReadString();
    const bool l_private = l_reader.ReadU32() != 0;
    if (!l_reader.Ok() || l_name.isEmpty())
    {
        WarnMalformed(i_connection, kEnterRoom);
        return;
    }
    Connection* lp_connection = FindOpen(i_connection);
    const QByteArray l_user = lp_connection->user;
    auto l_found = m_rooms.find(l_name);
    if (l_found == m_rooms.end())
    {
        l_found = m_rooms.emplace(l_name, Room()).first;
        l_found->second.isPrivate = l_private;
        if (l_private)
        {
            l_found->second.owner = l_user;
        }
    }
    else if (l_found->second.isPrivate && l_found->second.owner != l_user)
    {
        qWarning("test server: connection %d may not enter private room %s", i_connection,
                 l_name.toHex().constData());
        return;
    }
    Room& l_room = l_found->second;
    if (!lp_connection->rooms.contains(l_name))
    {
        const QByteArray l_joined = WireWriter()
                                        .WriteString(l_name)
                                        .WriteString(l_user)
                                        .WriteI32(kStatusOnline)
                                        .WriteRaw(UserStatsFields(l_user))
                                        .WriteI32(0)
                                        .WriteString(m_users[l_user].country)
                                        .Bytes();
        const QList<QByteArray> l_members = l_room.members;
        for (const QByteArray& l_member : l_members)
        {
            SendToUser(l_member, kUserJoinedRoom, l_joined);
        }
        l_room.members.append(l_user);
        lp_connection->rooms.insert(l_name);
    }

    QList<qint32> l_statuses;
    QList<qint32> l_slots;
    QList<QByteArray> l_countries;
    WireWriter l_stats;
    for (const QByteArray& l_member : l_room.members)
    {
        l_statuses.append(StatusOf(l_member));
        l_slots.append(0);
        l_countries.append(m_users[l_member].country);
        l_stats.WriteRaw(UserStatsFields(l_member));
    }
    WireWriter l_reply;
    l_reply.WriteString(l_name)
        .WriteStringList(l_room.members)
        .WriteI32List(l_statuses)
        .WriteI32(qint32(l_room.members.size()))
        .WriteRaw(l_stats.Bytes())
        .WriteI32List(l_slots)
        .WriteStringList(l_countries);
    if (l_room.isPrivate)
    {
        l_reply.WriteString(l_room.owner).WriteStringList({});
    }
    SendFrame(i_connection, kEnterRoom, l_reply.Bytes());
}

void TestServer::HandleLeaveRoom(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_room = l_reader.ReadString();
    Connection* lp_connection = FindOpen(i_connection);
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kLeaveRoom);
        return;
    }
    if (!lp_connection->rooms.contains(l_room))
    {
        WarnNotInRoom(i_connection, l_room);
        return;
    }
    lp_connection->rooms.remove(l_room);
    const QByteArray l_user = lp_connection->user;
    SendFrame(i_connection, kLeaveRoom, WireWriter().WriteString(l_room).Bytes());
    RemoveFromRoom(l_room, l_user);
}

void TestServer::HandleConnectionRequest(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const quint32 l_token = l_reader.ReadU32();
    const QByteArray l_target = l_reader.ReadString();
    const QByteArray l_type = l_reader.ReadString();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kConnectToPeer);
        return;
    }
    const int l_targetConnection = ConnectionOf(l_target);
    if (l_targetConnection == 0)
    {
        SendFrame(i_connection, kCannotConnect, WireWriter().WriteU32(l_token).Bytes());
        return;
    }
    const Connection* lp_requester = FindOpen(i_connection);
    WireWriter l_relay;
    l_relay.WriteString(lp_requester->user)
        .WriteString(l_type)
        .WriteU32(lp_requester->address)
        .WriteI32(lp_requester->port)
        .WriteU32(l_token)
        .WriteBool(false)
        .WriteI32(lp_requester->obfuscationType);
    if (lp_requester->obfuscationType == 1)
    {
        l_relay.WriteI32(lp_requester->obfuscatedPort);
    }
    SendFrame(l_targetConnection, kConnectToPeer, l_relay.Bytes());
}

void TestServer::HandlePrivateMessage(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_recipient = l_reader.ReadString();
    const QByteArray l_text = l_reader.ReadString();
    if (!l_reader.Ok() || l_recipient.isEmpty())
    {
        WarnMalformed(i_connection, kPrivateMessage);
        return;
    }
    QList<PrivateMessage>& l_pending = m_unacknowledged[l_recipient];
    if (l_pending.size() >= kMaxUnacknowledgedPerUser)
    {
        qWarning("test server: too many messages waiting for %s, message dropped",
                 l_recipient.toHex().constData());
        return;
    }
    const PrivateMessage l_message{++m_lastMessageId, quint32(QDateTime::currentSecsSinceEpoch()),
                                   FindOpen(i_connection)->user, l_text};
    l_pending.append(l_message);
    if (const int l_recipientConnection = ConnectionOf(l_recipient))
    {
        DeliverPrivateMessage(l_recipientConnection, l_message, true);
    }
}

void TestServer::DeliverPrivateMessage(int i_connection, const PrivateMessage& i_message,
                                       bool i_spontaneous)
{
    SendFrame(i_connection, kPrivateMessage,
              WireWriter()
                  .WriteU32(i_message.id)
                  .WriteU32(i_message.time)
                  .WriteString(i_message.sender)
                  .WriteString(i_message.text)
                  .WriteBool(i_spontaneous)
                  .Bytes());
}

void TestServer::HandleAcknowledgement(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const quint32 l_id = l_reader.ReadU32();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kAcknowledgePrivateMessage);
        return;
    }
    const auto l_pending = m_unacknowledged.find(FindOpen(i_connection)->user);
    if (l_pending == m_unacknowledged.end())
    {
        return;
    }
    l_pending->second.removeIf([l_id](const PrivateMessage& i_message)
                               { return i_message.id == l_id; });
    if (l_pending->second.isEmpty())
    {
        m_unacknowledged.erase(l_pending);
    }
}

void TestServer::HandleSearch(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const quint32 l_token = l_reader.ReadU32();
    const QByteArray l_text = l_reader.ReadString();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kFileSearch);
        return;
    }
    const QByteArray l_embedded = WireWriter()
                                      .WriteU8(kDistributedEmbedded)
                                      .WriteU32(kDistributedSearch)
                                      .WriteString(FindOpen(i_connection)->user)
                                      .WriteU32(l_token)
                                      .WriteString(l_text)
                                      .Bytes();
    for (int l_other : Connections())
    {
        if (l_other != i_connection && IsLoggedIn(l_other))
        {
            SendFrame(l_other, kEmbeddedMessage, l_embedded);
        }
    }
}

void TestServer::HandleSharedCounts(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const quint32 l_folders = l_reader.ReadU32();
    const quint32 l_files = l_reader.ReadU32();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kSharedFoldersFiles);
        return;
    }
    User& l_user = m_users[FindOpen(i_connection)->user];
    l_user.folders = l_folders;
    l_user.files = l_files;
}

void TestServer::HandleGetUserStats(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const QByteArray l_user = l_reader.ReadString();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kUserStats);
        return;
    }
    SendFrame(i_connection, kUserStats,
              WireWriter().WriteString(l_user).WriteRaw(UserStatsFields(l_user)).Bytes());
}

void TestServer::HandleRoomListRequest(int i_connection)
{
    SendRoomList(i_connection);
}

void TestServer::SendRoomList(int i_connection)
{
    const QByteArray l_user = FindOpen(i_connection)->user;
    QList<QByteArray> l_public;
    QList<qint32> l_publicCounts;
    QList<QByteArray> l_owned;
    QList<qint32> l_ownedCounts;
    for (const auto& [l_name, l_room] : m_rooms)
    {
        if (!l_room.isPrivate)
        {
            l_public.append(l_name);
            l_publicCounts.append(qint32(l_room.members.size()));
        }
        else if (l_room.owner == l_user)
        {
            l_owned.append(l_name);
            l_ownedCounts.append(qint32(l_room.members.size()));
        }
    }
    // Private rooms here have their owner as their only member: the member and operator lists
    // stay empty.
    SendFrame(i_connection, kRoomList,
              WireWriter()
                  .WriteStringList(l_public)
                  .WriteI32List(l_publicCounts)
                  .WriteStringList(l_owned)
                  .WriteI32List(l_ownedCounts)
                  .WriteStringList({})
                  .WriteI32List({})
                  .WriteStringList({})
                  .Bytes());
}

void TestServer::HandleUploadSpeed(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const quint32 l_speed = l_reader.ReadU32();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kUploadSpeed);
        return;
    }
    m_users[FindOpen(i_connection)->user].speed = l_speed;
}

void TestServer::HandleCannotConnect(int i_connection, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    const quint32 l_token = l_reader.ReadU32();
    const QByteArray l_requester = l_reader.ReadString();
    if (!l_reader.Ok())
    {
        WarnMalformed(i_connection, kCannotConnect);
        return;
    }
    SendToUser(l_requester, kCannotConnect, WireWriter().WriteU32(l_token).Bytes());
}

void TestServer::RemoveFromRoom(const QByteArray& i_room, const QByteArray& i_user)
{
    const auto l_found = m_rooms.find(i_room);
    if (l_found == m_rooms.end())
    {
        return;
    }
    l_found->second.members.removeOne(i_user);
    const QList<QByteArray> l_members = l_found->second.members;
    if (l_members.isEmpty() && !l_found->second.isPrivate)
    {
        m_rooms.erase(l_found);
    }
    const QByteArray l_left = WireWriter().WriteString(i_room).WriteString(i_user).Bytes();
    for (const QByteArray& l_member : l_members)
    {
        SendToUser(l_member, kUserLeftRoom, l_left);
    }
}

void TestServer::NotifyWatchers(const QByteArray& i_user, qint32 i_status)
{
    const auto l_watchers = m_watchers.find(i_user);
    if (l_watchers == m_watchers.end())
    {
        return;
    }
    const QByteArray l_status =
        WireWriter().WriteString(i_user).WriteI32(i_status).WriteBool(false).Bytes();
    for (int l_watcher : QSet<int>(l_watchers->second))
    {
        if (FindOpen(l_watcher))
        {
            SendFrame(l_watcher, kUserStatus, l_status);
        }
    }
}

QByteArray TestServer::UserStatsFields(const QByteArray& i_user) const
{
    const auto l_user = m_users.find(i_user);
    if (l_user == m_users.end())
    {
        return WireWriter().WriteUserStats(0, 0, 0, 0).Bytes();
    }
    return WireWriter()
        .WriteUserStats(l_user->second.speed, 0, l_user->second.files, l_user->second.folders)
        .Bytes();
}

qint32 TestServer::StatusOf(const QByteArray& i_user) const
{
    return ConnectionOf(i_user) != 0 ? kStatusOnline : 0;
}
