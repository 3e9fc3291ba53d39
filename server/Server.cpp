#include "Server.h"

#include "Data.h"
#include "DataSaver.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "MD5.h"
#include "PortForwarder.h"
#include "ServerMessageCode.h"
#include "StoreFunctions.h"
#include "TimerManager.h"

#include <QSignalBlocker>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_set>
#include <vector>

Server* gp_server = nullptr;

namespace
{
const char* const defaultUsername = "BrindlexQT";
const char* const defaultPassword = "QuartzFernDefault7";
const char* const socketErrorReason = "socket error";
// The version the login announces.
constexpr quint32 clientMajorVersion = 157;
constexpr quint32 clientMinorVersion = 100;
// The only obfuscation the network knows; a user address or a connection request may name it.
constexpr qint32 rotatedObfuscation = 1;
// A user status above this one, away or online, counts as online.
constexpr qint32 offlineStatus = 0;

// A count in a message is at most this: a negative one reads entries until one is incomplete,
// but never more than a count could ask for.
constexpr qint64 maxEntries = InputStream::MaxReadLength;

// Frames are read from the socket in pieces of at most this size.
constexpr qint32 receiveChunk = 65536;

bool SettingIsYes(const char* ip_key)
{
    return SettingValue(ip_key).AsString() == "yes";
}

void SetFlag(ItemPtr i_item, const char* ip_flag)
{
    i_item.NewItem(ip_flag);
}

void ClearFlag(ItemPtr i_item, const char* ip_flag)
{
    i_item.Disconnect(ip_flag);
}

// The store announces every disconnection asked for, also of items never connected.
void DisconnectIfConnected(ItemPtr i_a, ItemPtr i_b)
{
    if (i_a && i_b && i_a.IsConnected(i_b))
        i_a -= i_b;
}

ItemPtr FindUser(const std::string& i_name)
{
    return TypeOf("user")->HasItem(i_name);
}

ItemPtr Room(const std::string& i_name)
{
    return TypeOf("room")->GetItem(i_name);
}

// The items of the type that carry the flag.
ItemSet Flagged(const char* ip_flag, const char* ip_type)
{
    return TypeOf(ip_flag)->GetItems().GetItems(ip_type);
}

bool ReadU16(InputStream& i_stream, quint16& i_value)
{
    uchar l_bytes[2];
    if (!i_stream.ReadBuffer(l_bytes, sizeof l_bytes))
        return false;
    i_value = qFromLittleEndian<quint16>(l_bytes);
    return true;
}

// Reads entries after an i32 count: none when the count is missing or above the limit, else up
// to the count (any number, within the limit, when it is negative), stopping at the first entry
// that cannot be read whole.
template <class Entry, class ReadEntry>
std::vector<Entry> ReadCountedEntries(InputStream& i_stream, ReadEntry i_readEntry)
{
    std::vector<Entry> l_entries;
    qint32 l_count = 0;
    if (!i_stream.Read(l_count) || l_count > maxEntries)
        return l_entries;
    const qint64 l_limit = l_count < 0 ? maxEntries : l_count;
    for (qint64 l_index = 0; l_index < l_limit; ++l_index)
    {
        Entry l_entry{};
        if (!i_readEntry(l_entry))
            break;
        l_entries.push_back(std::move(l_entry));
    }
    return l_entries;
}

MemStream Message(quint32 i_code)
{
    MemStream l_message;
    l_message.Write(i_code);
    return l_message;
}

quint8 Byte(bool i_value)
{
    return i_value ? 1 : 0;
}
} // namespace

Server::Server() : Server(QStringLiteral(CENTRAL_SERVER_HOST), CentralServerPort) {}

Server::Server(const QString& i_host, quint16 i_port) : m_host(i_host), m_port(i_port)
{
    gp_server = this;
    connect(&m_socket, &QTcpSocket::connected, this, &Server::OnConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &Server::OnSocketReadyToRead);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &Server::OnSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, &Server::OnSocketClosed);
    connect(&timerManager->m_halfMinuteTimer, &QTimer::timeout, this, &Server::AttemptReconnect);
    connect(&timerManager->m_hourTimer, &QTimer::timeout, this, &Server::RenewPortMapping);
    dataSaver->AddDataLoadedEventHandler(this);
    mp_portForwarder = std::make_unique<PortForwarder>();
}

Server::~Server()
{
    m_socket.disconnect(this);
    m_socket.abort();
    if (gp_server == this)
        gp_server = nullptr;
}

void Server::CreateData()
{
    d.NewType("user", true, false, true);
    d.NewType("is_online", false, true, true);
    d.NewType("is_tracked", false, true, true);
    d.NewType("is_privileged", false, true, true);
    d.NewType("room", true, false, true);
    d.NewType("room_autojoin", false, true, true);
    d.NewType("user_count", false, false, true);
    d.NewType("is_private", false, true, true);
    d.NewType("is_member", false, true, true);
    d.NewType("in_room", false, true, true);
    d.NewType("room_owner", false, true, true);
    d.NewType("room_operators", false, true, true);
    d.NewType("room_members", false, true, true);
    d.NewType("is_owner", false, true, true);
    d.NewType("is_operator", false, true, true);
    d.NewType("average_download_speed", false, false, true);
    d.NewType("shared_files_count", false, false, true);
    d.NewType("country_code", false, false, true);
    d.NewType("in_user_list", false, true, true);
    d.NewType("user_list_group", true, false, true);
    d.NewType("group_download_priority", false, false, true);
    d.NewType("is_ignored", false, true, true);

    // RelateToType(B, what each B holds, what each A holds, owns).
    Type* lp_user = TypeOf("user");
    Type* lp_room = TypeOf("room");
    lp_user->RelateToType("is_online", Many, One, false);
    lp_user->RelateToType("is_tracked", Many, One, false);
    lp_user->RelateToType("is_privileged", Many, One, false);
    lp_user->RelateToType("average_download_speed", Many, One, false);
    lp_user->RelateToType("shared_files_count", Many, One, false);
    lp_user->RelateToType("country_code", Many, One, false);
    lp_user->RelateToType("in_user_list", One, One, false);
    lp_user->RelateToType("is_ignored", Many, One, false);
    TypeOf("in_user_list")->RelateToType("user_list_group", Many, Many, false);
    TypeOf("user_list_group")->RelateToType("group_download_priority", Many, One, false);
    lp_room->RelateToType(lp_user, Many, Many, false);
    lp_room->RelateToType("user_count", Many, One, false);
    lp_room->RelateToType("in_room", Many, One, false);
    lp_room->RelateToType("room_autojoin", Many, One, false);
    lp_room->RelateToType("room_owner", One, One, false);
    lp_room->RelateToType("room_operators", One, One, false);
    lp_room->RelateToType("room_members", One, One, false);
    TypeOf("room_owner")->RelateToType(lp_user, Many, One, false);
    TypeOf("room_operators")->RelateToType(lp_user, Many, Many, false);
    TypeOf("room_members")->RelateToType(lp_user, Many, Many, false);
    lp_room->RelateToType("is_private", Many, One, false);
    lp_room->RelateToType("is_owner", Many, One, false);
    lp_room->RelateToType("is_operator", Many, One, false);
    lp_room->RelateToType("is_member", Many, One, false);

    d.NewType("user_address_request", false, true, true);
    TypeOf("user_address_request")->RelateToType(lp_user, One, Many, false);

    dataSaver->AddSavedType("room_autojoin");
    dataSaver->AddSavedByConnectionType("room", "room_autojoin");
    dataSaver->AddSavedType("in_user_list");
    dataSaver->AddSavedByConnectionType("user", "in_user_list");
    dataSaver->AddSavedType("user_list_group");
    // A group's download priority is the user's choice like the group itself.
    dataSaver->AddSavedByConnectionType("group_download_priority", "user_list_group");
    dataSaver->AddSavedType("is_ignored");
    dataSaver->AddSavedByConnectionType("user", "is_ignored");
}

void Server::Connect()
{
    if (m_state != ConnectionState::Disconnected)
        return;
    ItemPtr l_username = TypeOf("global")->GetItem("username");
    if (!l_username["global_value"])
        return;

    m_state = ConnectionState::LoggingIn;
    ++m_connectionSerial;
    // The remains of an earlier connection (a partial frame, a close still pending) must not
    // reach this one.
    m_userDisconnect = false;
    ResetReceiveState();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
    {
        const QSignalBlocker l_blocker(&m_socket);
        m_socket.abort();
    }
    emit Connecting();
    m_socket.connectToHost(m_host, m_port, QIODevice::ReadWrite);
    if (SettingIsYes("use_upnp"))
        mp_portForwarder->Init();
}

void Server::Disconnect()
{
    if (m_state != ConnectionState::LoggedIn)
        return;
    OnDisconnected();
    m_userDisconnect = true;
    m_abruptLoss = false;
    m_socket.close();
}

bool Server::IsConnected() const
{
    return m_state == ConnectionState::LoggedIn;
}

bool Server::IsAbruptlyDisconnected() const
{
    return m_abruptLoss;
}

void Server::SendMessage(MemStream& i_message, bool i_duringLogin)
{
    if (i_duringLogin ? m_state == ConnectionState::Disconnected
                      : m_state != ConnectionState::LoggedIn)
        return;
    const qint32 l_length = i_message.GetWriteIndex();
    QByteArray l_frame(4 + qsizetype(l_length), Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(l_length), l_frame.data());
    std::memcpy(l_frame.data() + 4, i_message.GetWriteBuffer() - l_length, size_t(l_length));
    m_socket.write(l_frame);
}

void Server::OnConnected()
{
    if (m_state != ConnectionState::LoggingIn)
        return;
    // Only a setting without a value gets its default: a stored name is never replaced.
    if (!SettingValue("username"))
        SetSetting("username", defaultUsername);
    if (!SettingValue("password"))
        SetSetting("password", defaultPassword);
    const std::string l_username = SettingValue("username").AsString();
    const std::string l_password = SettingValue("password").AsString();

    const std::string l_credentials = l_username + l_password;
    MD5 l_md5;
    l_md5.update(reinterpret_cast<const unsigned char*>(l_credentials.data()),
                 static_cast<unsigned int>(l_credentials.size()));
    l_md5.finalize();
    const std::unique_ptr<char[]> lp_hash(l_md5.hex_digest());

    MemStream l_message = Message(ServerMessageCode::Login);
    l_message.Write(l_username);
    l_message.Write(l_password);
    l_message.Write(clientMajorVersion);
    l_message.Write(std::string(lp_hash.get()));
    l_message.Write(clientMinorVersion);
    SendMessage(l_message, true);
    m_abruptLoss = false;
}

void Server::OnSocketError(QAbstractSocket::SocketError)
{
    OnSocketClosed();
}

void Server::OnSocketClosed()
{
    if (m_userDisconnect)
    {
        m_userDisconnect = false;
        return;
    }
    if (m_state == ConnectionState::Disconnected)
        return;
    if (m_state == ConnectionState::LoggingIn)
        emit ConnectionFailed(socketErrorReason);
    else
        m_abruptLoss = true;
    OnDisconnected();
}

void Server::OnDisconnected()
{
    m_state = ConnectionState::Disconnected;
    ResetReceiveState();
    emit Disconnected();
    for (Item* lp_flag : TypeOf("is_online")->GetItems())
        for (Item* lp_user : ItemPtr(lp_flag).GetItems("user"))
            DisconnectIfConnected(lp_user, lp_flag);
}

qint32 Server::ReceiveBufferCapacity() const
{
    return m_receiveStream.GetBufferSize();
}

void Server::ResetReceiveState()
{
    m_headerRead = false;
    m_expectedLength = 0;
    // A large frame's buffer is let go rather than kept for the rest of the connection.
    if (m_receiveStream.GetBufferSize() > receiveChunk)
        m_receiveStream = MemStream();
    else
        m_receiveStream.Reset();
}

void Server::DropConnection(quint32 i_length)
{
    Log(QStringLiteral("server"), 1,
        QStringLiteral("Frame length %1 from the server refused, closing the connection.")
            .arg(i_length));
    ResetReceiveState();
    {
        const QSignalBlocker l_blocker(&m_socket);
        m_socket.abort();
    }
    OnSocketClosed();
}

void Server::OnSocketReadyToRead()
{
    const quint64 l_serial = m_connectionSerial;
    // A handler may end the connection or begin another one: stop reading this one then.
    while (m_state != ConnectionState::Disconnected && l_serial == m_connectionSerial)
    {
        const qint64 l_available = m_socket.bytesAvailable();
        if (l_available <= 0)
            return;
        if (!m_headerRead)
        {
            if (l_available < 4)
                return;
            uchar l_header[4];
            if (m_socket.read(reinterpret_cast<char*>(l_header), 4) != 4)
            {
                DropConnection(0);
                return;
            }
            m_expectedLength = qFromLittleEndian<quint32>(l_header);
            if (m_expectedLength < 4 || m_expectedLength > MaxFrameLength)
            {
                DropConnection(m_expectedLength);
                return;
            }
            m_headerRead = true;
            continue;
        }
        // The frame's buffer grows with the bytes that arrive, so that a length alone cannot
        // make the client hold a large buffer.
        char l_chunk[receiveChunk];
        const qint64 l_wanted =
            std::min({qint64(m_expectedLength) - m_receiveStream.GetWriteIndex(), l_available,
                      qint64(receiveChunk)});
        const qint64 l_read = m_socket.read(l_chunk, l_wanted);
        // A failed read is no data; the socket reports the failure itself.
        if (l_read <= 0)
            return;
        m_receiveStream.WriteBuffer(l_chunk, static_cast<unsigned long>(l_read));
        if (quint32(m_receiveStream.GetWriteIndex()) == m_expectedLength)
        {
            quint32 l_code = 0;
            m_receiveStream.Read(l_code);
            HandleMessage(int(l_code), m_receiveStream);
            ResetReceiveState();
        }
    }
}

void Server::AttemptReconnect()
{
    if (m_abruptLoss)
        Connect();
}

void Server::AddPortMappings()
{
    // Port 0 is no port: there is nothing to forward.
    for (const char* lp_setting : {"listening_port", "obfuscated_listening_port"})
        if (const int l_port = SettingValue(lp_setting).AsInt())
            mp_portForwarder->AddPortMapping(&m_socket, l_port);
}

void Server::RenewPortMapping()
{
    if (m_state != ConnectionState::LoggedIn || !SettingIsYes("use_upnp"))
        return;
    Log(QStringLiteral("server"), 1, QStringLiteral("Renewing UPnP port mapping."));
    AddPortMappings();
}

void Server::OnConnectedToServer()
{
    if (m_firstLogin)
    {
        m_firstLogin = false;
        for (Item* lp_room : Flagged("room_autojoin", "room"))
            EnterRoom(lp_room->AsString(), false);
        if (SettingIsYes("use_upnp"))
            AddPortMappings();
    }
    m_unknownWatches.clear();
    for (Item* lp_user : Flagged("is_tracked", "user"))
        SendUserMessage(ServerMessageCode::AddUser, lp_user->AsString());
    for (Item* lp_user : TypeOf("user_address_request")->GetItems().GetItems("user"))
        SendUserMessage(ServerMessageCode::GetUserAddress, lp_user->AsString());
    SetSetting("accept_room_list", "yes");
}

void Server::DataLoaded()
{
    if (!SettingValue("use_upnp"))
        SetSetting("use_upnp", "yes");
}

// Requests.

void Server::SendUserMessage(quint32 i_code, const std::string& i_user)
{
    MemStream l_message = Message(i_code);
    l_message.Write(i_user);
    SendMessage(l_message, false);
}

void Server::SetWaitPort(int i_port, int i_obfuscatedPort)
{
    MemStream l_message = Message(ServerMessageCode::SetWaitPort);
    l_message.Write(qint32(i_port));
    l_message.Write(quint32(rotatedObfuscation));
    l_message.Write(qint32(i_obfuscatedPort));
    SendMessage(l_message, false);
}

void Server::GetUserAddress(std::string i_user)
{
    ItemPtr l_user = User(i_user);
    if (l_user.IsConnected("user_address_request"))
        return;
    SendUserMessage(ServerMessageCode::GetUserAddress, i_user);
    ItemPtr l_request = TypeOf("user_address_request")->NewItem();
    l_request += l_user;
}

void Server::AddUser(std::string i_user)
{
    SendUserMessage(ServerMessageCode::AddUser, i_user);
}

void Server::TrackUser(std::string i_user)
{
    ItemPtr l_user = User(i_user);
    const bool l_unknown = m_unknownWatches.erase(i_user) != 0;
    if (l_user.IsConnected("is_tracked") && !l_unknown)
        return;
    SetFlag(l_user, "is_tracked");
    AddUser(i_user);
}

void Server::UntrackUser(std::string i_user)
{
    ItemPtr l_user = User(i_user);
    if (!l_user.IsConnected("is_tracked"))
        return;
    ClearFlag(l_user, "is_tracked");
    m_unknownWatches.erase(i_user);
    SendUserMessage(ServerMessageCode::RemoveUser, i_user);
}

void Server::GetUserStatus(std::string i_user)
{
    SendUserMessage(ServerMessageCode::GetUserStatus, i_user);
}

void Server::SendRoomChat(std::string i_room, std::string i_text)
{
    MemStream l_message = Message(ServerMessageCode::RoomChat);
    l_message.Write(i_room);
    l_message.Write(i_text);
    SendMessage(l_message, false);
}

void Server::EnterRoom(std::string i_room, bool i_private)
{
    MemStream l_message = Message(ServerMessageCode::EnterRoom);
    l_message.Write(i_room);
    l_message.Write(quint32(i_private ? 1 : 0));
    SendMessage(l_message, false);
}

void Server::LeaveRoom(std::string i_room)
{
    if (Room(i_room).IsConnected("in_room"))
        SendUserMessage(ServerMessageCode::LeaveRoom, i_room);
}

unsigned int Server::SendIndirectConnectionRequest(std::string i_user, std::string i_type)
{
    const quint32 l_token = m_indirectToken++;
    MemStream l_message = Message(ServerMessageCode::ConnectToPeer);
    l_message.Write(l_token);
    l_message.Write(i_user);
    l_message.Write(i_type);
    SendMessage(l_message, false);
    Log(QStringLiteral("server"), 1,
        QStringLiteral("Sent indirect connection request to %1").arg(LoggedName(i_user)),
        User(i_user));
    return l_token;
}

void Server::SendPrivateChat(std::string i_user, std::string i_text)
{
    MemStream l_message = Message(ServerMessageCode::PrivateChat);
    l_message.Write(i_user);
    l_message.Write(i_text);
    SendMessage(l_message, false);
}

unsigned int Server::FileSearch(std::string i_search, bool i_wishListSearch)
{
    const quint32 l_token = m_searchToken++;
    MemStream l_message = Message(i_wishListSearch ? ServerMessageCode::WishListSearch
                                                   : ServerMessageCode::FileSearch);
    l_message.Write(l_token);
    l_message.Write(i_search);
    SendMessage(l_message, false);

    ItemPtr l_request = TypeOf("search_request")->NewItem(Value(l_token));
    l_request += TypeOf("search_request_text")->GetItem(i_search);
    if (i_wishListSearch)
        SetFlag(l_request, "wishlist_search");
    emit SearchRequested(l_token, i_search, i_wishListSearch);
    return l_token;
}

void Server::SendFilesFolders(int i_folders, int i_files)
{
    MemStream l_message = Message(ServerMessageCode::SharedFoldersFiles);
    l_message.Write(qint32(i_folders));
    l_message.Write(qint32(i_files));
    SendMessage(l_message, false);
}

void Server::GetUserStats(std::string i_user)
{
    SendUserMessage(ServerMessageCode::GetUserStats, i_user);
}

void Server::GetRoomList()
{
    MemStream l_message = Message(ServerMessageCode::RoomList);
    SendMessage(l_message, false);
    SetSetting("accept_room_list", "yes");
}

void Server::SendDNetHasParent(bool i_hasParent)
{
    MemStream l_message = Message(ServerMessageCode::DNetHasParent);
    l_message.Write(Byte(i_hasParent));
    SendMessage(l_message, false);
}

void Server::GetOwnPrivilegesStatus()
{
    MemStream l_message = Message(ServerMessageCode::PrivilegesStatus);
    SendMessage(l_message, false);
}

void Server::SendDNetCanParent(bool i_canParent)
{
    MemStream l_message = Message(ServerMessageCode::DNetCanParent);
    l_message.Write(Byte(i_canParent));
    SendMessage(l_message, false);
}

void Server::SendUploadSpeed(int i_speed)
{
    MemStream l_message = Message(ServerMessageCode::UploadSpeed);
    l_message.Write(qint32(i_speed));
    SendMessage(l_message, false);
}

void Server::SendDNetLevel(int i_level)
{
    MemStream l_message = Message(ServerMessageCode::DNetLevel);
    l_message.Write(qint32(i_level));
    SendMessage(l_message, false);
}

void Server::SendDNetGroupLeader(std::string i_user)
{
    SendUserMessage(ServerMessageCode::DNetGroupLeader, i_user);
}

void Server::SendChildDepth(bool i_hasChildren)
{
    MemStream l_message = Message(ServerMessageCode::DNetChildDepth);
    l_message.Write(Byte(i_hasChildren));
    SendMessage(l_message, false);
}

namespace
{
MemStream RoomUserMessage(quint32 i_code, const std::string& i_room, const std::string& i_user)
{
    MemStream l_message = Message(i_code);
    l_message.Write(i_room);
    l_message.Write(i_user);
    return l_message;
}
} // namespace

void Server::AddPrivateRoomMember(std::string i_room, std::string i_user)
{
    MemStream l_message = RoomUserMessage(ServerMessageCode::AddPrivateRoomMember, i_room, i_user);
    SendMessage(l_message, false);
}

void Server::RemovePrivateRoomMember(std::string i_room, std::string i_user)
{
    MemStream l_message =
        RoomUserMessage(ServerMessageCode::RemovePrivateRoomMember, i_room, i_user);
    SendMessage(l_message, false);
}

void Server::GiveUpPrivateRoomMembership(std::string i_room)
{
    SendUserMessage(ServerMessageCode::GiveUpPrivateRoomMembership, i_room);
}

void Server::GiveUpPrivateRoom(std::string i_room)
{
    SendUserMessage(ServerMessageCode::GiveUpPrivateRoom, i_room);
}

void Server::EnablePrivateRoomAdd(bool i_enabled)
{
    MemStream l_message = Message(ServerMessageCode::EnablePrivateRoomAdd);
    l_message.Write(Byte(i_enabled));
    SendMessage(l_message, false);
}

void Server::AddPrivateRoomOperator(std::string i_room, std::string i_user)
{
    MemStream l_message =
        RoomUserMessage(ServerMessageCode::AddPrivateRoomOperator, i_room, i_user);
    SendMessage(l_message, false);
}

void Server::RemovePrivateRoomOperator(std::string i_room, std::string i_user)
{
    MemStream l_message =
        RoomUserMessage(ServerMessageCode::RemovePrivateRoomOperator, i_room, i_user);
    SendMessage(l_message, false);
}

void Server::GetSearchCorrelations(std::string i_search)
{
    SendUserMessage(ServerMessageCode::SearchCorrelations, i_search);
}

void Server::SendCantConnectToPeer(unsigned int i_token, std::string i_user)
{
    MemStream l_message = Message(ServerMessageCode::CantConnectToPeer);
    l_message.Write(quint32(i_token));
    l_message.Write(i_user);
    SendMessage(l_message, false);
}

// Incoming messages. Fields a body lacks read as zero or empty.

void Server::HandleMessage(int i_code, MemStream& i_message)
{
    if (m_state == ConnectionState::Disconnected)
        return;
    switch (i_code)
    {
        case ServerMessageCode::Login:
            if (m_state == ConnectionState::LoggingIn)
                OnLoginReply(i_message);
            break;
        case ServerMessageCode::GetUserAddress:
            OnUserAddress(i_message);
            break;
        case ServerMessageCode::AddUser:
            OnWatchReply(i_message);
            break;
        case ServerMessageCode::GetUserStatus:
            OnUserStatus(i_message);
            break;
        case ServerMessageCode::RoomChat:
            OnRoomChat(i_message);
            break;
        case ServerMessageCode::EnterRoom:
            OnRoomJoined(i_message);
            break;
        case ServerMessageCode::LeaveRoom:
            OnRoomLeft(i_message);
            break;
        case ServerMessageCode::UserJoinedRoom:
            OnUserJoinedRoom(i_message);
            break;
        case ServerMessageCode::UserLeftRoom:
            OnUserLeftRoom(i_message);
            break;
        case ServerMessageCode::ConnectToPeer:
            OnPeerConnectionRequest(i_message);
            break;
        case ServerMessageCode::PrivateChat:
            OnPrivateMessage(i_message);
            break;
        case ServerMessageCode::GetUserStats:
            OnUserStats(i_message);
            break;
        case ServerMessageCode::RoomList:
            OnRoomList(i_message);
            break;
        case ServerMessageCode::PrivilegedUsers:
            OnPrivilegedUsers(i_message);
            break;
        case ServerMessageCode::DNetParentMinSpeed:
        {
            qint32 l_speed = 0;
            i_message.Read(l_speed);
            emit DNetParentMinSpeed(l_speed);
            break;
        }
        case ServerMessageCode::DNetParentSpeedConnectionRatio:
        {
            qint32 l_ratio = 0;
            i_message.Read(l_ratio);
            emit DNetParentSpeedConnectionRatio(l_ratio);
            break;
        }
        case ServerMessageCode::PrivilegesStatus:
            OnPrivilegesStatus(i_message);
            break;
        case ServerMessageCode::DNetMessage:
            emit DNetMessage(i_message);
            break;
        case ServerMessageCode::PossibleParents:
            OnPossibleParents(i_message);
            break;
        case ServerMessageCode::WishListWait:
        {
            quint32 l_seconds = 0;
            i_message.Read(l_seconds);
            emit WishListWait(l_seconds);
            break;
        }
        case ServerMessageCode::DNetDeliveryReport:
        {
            qint32 l_report = 0;
            i_message.Read(l_report);
            emit DNetDeliveryReport(l_report);
            break;
        }
        case ServerMessageCode::DNetReset:
            emit DNetReset();
            break;
        case ServerMessageCode::PrivateRoomMembers:
            OnPrivateRoomUsers(i_message, "room_members");
            break;
        case ServerMessageCode::AddPrivateRoomMember:
            OnPrivateRoomUserChange(i_message, "room_members", true);
            break;
        case ServerMessageCode::RemovePrivateRoomMember:
            OnPrivateRoomUserChange(i_message, "room_members", false);
            break;
        case ServerMessageCode::PrivateRoomAdded:
            OnPrivateRoomAdded(i_message);
            break;
        case ServerMessageCode::PrivateRoomRemoved:
            OnPrivateRoomRemoved(i_message);
            break;
        case ServerMessageCode::EnablePrivateRoomAdd:
            OnPrivateRoomAddSetting(i_message);
            break;
        case ServerMessageCode::AddPrivateRoomOperator:
            OnPrivateRoomUserChange(i_message, "room_operators", true);
            break;
        case ServerMessageCode::RemovePrivateRoomOperator:
            OnPrivateRoomUserChange(i_message, "room_operators", false);
            break;
        case ServerMessageCode::OwnOperatorStatus:
            OnOwnOperatorStatus(i_message);
            break;
        case ServerMessageCode::PrivateRoomOperators:
            OnPrivateRoomUsers(i_message, "room_operators");
            break;
        case ServerMessageCode::SearchCorrelations:
            OnSearchCorrelations(i_message);
            break;
        case ServerMessageCode::CantConnectToPeer:
        {
            quint32 l_token = 0;
            i_message.Read(l_token);
            emit IndirectPeerConnectionFailure(l_token);
            break;
        }
        default:
            break;
    }
}

void Server::OnLoginReply(MemStream& i_message)
{
    quint8 l_accepted = 0;
    i_message.Read(l_accepted);
    if (l_accepted != 0)
    {
        std::string l_greeting;
        quint32 l_address = 0;
        std::string l_passwordHash;
        i_message.Read(l_greeting);
        i_message.Read(l_address);
        i_message.Read(l_passwordHash);
        m_state = ConnectionState::LoggedIn;
        emit Connected();
        OnConnectedToServer();
        return;
    }
    std::string l_reason;
    i_message.Read(l_reason);
    emit ConnectionFailed(l_reason);
    m_state = ConnectionState::Disconnected;
    m_socket.close();
}

void Server::OnUserAddress(MemStream& i_message)
{
    std::string l_name;
    quint32 l_address = 0;
    qint32 l_port = 0;
    qint32 l_obfuscationType = 0;
    quint16 l_obfuscatedPort = 0;
    i_message.Read(l_name);
    i_message.Read(l_address);
    i_message.Read(l_port);
    i_message.Read(l_obfuscationType);
    ReadU16(i_message, l_obfuscatedPort);

    ItemPtr l_user = User(l_name);
    SetValue(l_user, "user_address", l_address);
    SetValue(l_user, "user_port", l_port);
    SetValue(l_user, "user_obfuscated_port",
             l_obfuscationType == rotatedObfuscation ? int(l_obfuscatedPort) : 0);
    ClearFlag(l_user, "user_address_request");
}

void Server::OnWatchReply(MemStream& i_message)
{
    std::string l_name;
    quint8 l_exists = 0;
    i_message.Read(l_name);
    i_message.Read(l_exists);
    emit AddUserResponse(l_name, l_exists != 0);
    if (l_exists == 0)
    {
        // The answer changes nothing in the watched set. The server keeps no watch of a name it
        // does not know, though: the next TrackUser asks again, for a name that may have logged
        // in since, rather than waiting for a status that never comes.
        if (ItemPtr l_user = FindUser(l_name); l_user && l_user.IsConnected("is_tracked"))
            m_unknownWatches.insert(l_name);
        return;
    }
    m_unknownWatches.erase(l_name);

    qint32 l_status = 0;
    UserStats l_stats;
    i_message.Read(l_status);
    i_message.Read(l_stats);
    if (l_status > offlineStatus)
    {
        std::string l_country;
        i_message.Read(l_country);
        ItemPtr l_user = User(l_name);
        SetFlag(l_user, "is_online");
        SetValue(l_user, "country_code", l_country);
    }
    else
        ClearFlag(User(l_name), "is_online");
}

void Server::OnUserStatus(MemStream& i_message)
{
    std::string l_name;
    qint32 l_status = 0;
    quint8 l_privileged = 0;
    i_message.Read(l_name);
    i_message.Read(l_status);
    i_message.Read(l_privileged);

    ItemPtr l_user = User(l_name);
    if (l_status > offlineStatus)
        SetFlag(l_user, "is_online");
    else
        ClearFlag(l_user, "is_online");
    if (l_privileged != 0)
        SetFlag(l_user, "is_privileged");
}

void Server::OnPrivateMessage(MemStream& i_message)
{
    quint32 l_id = 0;
    quint32 l_time = 0;
    std::string l_name;
    std::string l_text;
    quint8 l_spontaneous = 0;
    i_message.Read(l_id);
    i_message.Read(l_time);
    i_message.Read(l_name);
    i_message.Read(l_text);
    i_message.Read(l_spontaneous);

    MemStream l_acknowledgement = Message(ServerMessageCode::AcknowledgePrivateChat);
    l_acknowledgement.Write(l_id);
    ItemPtr l_sender = FindUser(l_name);
    if (!l_sender || !l_sender.IsConnected("is_ignored"))
        emit PrivateChat(l_name, l_text, time_t(l_time), l_spontaneous != 0);
    SendMessage(l_acknowledgement, false);
    if (l_text.find("privileges") != std::string::npos)
        GetOwnPrivilegesStatus();
}

void Server::OnUserStats(MemStream& i_message)
{
    std::string l_name;
    UserStats l_stats;
    i_message.Read(l_name);
    i_message.Read(l_stats);
    emit ReceivedUserStats(l_name, l_stats);
}

void Server::OnPrivilegedUsers(MemStream& i_message)
{
    std::set<std::string> l_names;
    i_message.Read(l_names);
    for (const std::string& l_name : l_names)
        SetFlag(User(l_name), "is_privileged");
}

void Server::OnPrivilegesStatus(MemStream& i_message)
{
    qint32 l_seconds = 0;
    i_message.Read(l_seconds);
    SetSetting("privileges_time_left", l_seconds);
    emit ReceivedOwnPrivilegesStatus(l_seconds);
}

void Server::OnRoomChat(MemStream& i_message)
{
    std::string l_room;
    std::string l_name;
    std::string l_text;
    i_message.Read(l_room);
    i_message.Read(l_name);
    i_message.Read(l_text);
    ItemPtr l_sender = FindUser(l_name);
    if (l_sender && l_sender.IsConnected("is_ignored"))
        return;
    emit RoomChat(l_room, l_name, l_text);
}

void Server::OnRoomJoined(MemStream& i_message)
{
    std::string l_roomName;
    std::list<std::string> l_names;
    std::list<qint32> l_statuses;
    i_message.Read(l_roomName);
    i_message.Read(l_names);
    i_message.Read(l_statuses);
    const std::vector<UserStats> l_stats = ReadCountedEntries<UserStats>(
        i_message, [&](UserStats& i_stats) { return i_message.Read(i_stats); });
    std::list<qint32> l_slots;
    std::list<std::string> l_countries;
    i_message.Read(l_slots);
    i_message.Read(l_countries);
    std::string l_ownerName;
    std::set<std::string> l_operators;
    const bool l_hasOwner = i_message.Read(l_ownerName);
    if (l_hasOwner)
        i_message.Read(l_operators);

    ItemPtr l_room = Room(l_roomName);
    if (l_hasOwner)
    {
        l_room.NewItem("room_owner") += User(l_ownerName);
        ItemPtr l_operatorsItem = l_room.NewItem("room_operators");
        l_operatorsItem.Disconnect("user");
        for (const std::string& l_operator : l_operators)
            l_operatorsItem += User(l_operator);
    }
    SetFlag(l_room, "in_room");

    l_room.Disconnect("user");
    std::vector<Item*> l_users;
    l_users.reserve(l_names.size());
    for (const std::string& l_name : l_names)
    {
        ItemPtr l_user = User(l_name);
        l_room += l_user;
        l_users.push_back(l_user);
    }

    // The three lists go together: walk them to the end of the shortest.
    auto l_stat = l_stats.begin();
    auto l_country = l_countries.begin();
    for (auto l_user = l_users.begin();
         l_user != l_users.end() && l_stat != l_stats.end() && l_country != l_countries.end();
         ++l_user, ++l_stat, ++l_country)
    {
        SetValue(*l_user, "average_download_speed", qint32(l_stat->m_averageSpeed));
        SetValue(*l_user, "shared_files_count", qint32(l_stat->m_sharedFilesCount));
        SetValue(*l_user, "country_code", *l_country);
    }
}

void Server::OnRoomLeft(MemStream& i_message)
{
    std::string l_roomName;
    i_message.Read(l_roomName);
    ItemPtr l_room = Room(l_roomName);
    if (!l_room.IsConnected("in_room"))
        return;
    ClearFlag(l_room, "in_room");
    l_room.Disconnect("user");
}

void Server::OnUserJoinedRoom(MemStream& i_message)
{
    std::string l_roomName;
    std::string l_name;
    qint32 l_status = 0;
    UserStats l_stats;
    qint32 l_slots = 0;
    std::string l_country;
    i_message.Read(l_roomName);
    i_message.Read(l_name);
    i_message.Read(l_status);
    i_message.Read(l_stats);
    i_message.Read(l_slots);
    i_message.Read(l_country);

    ItemPtr l_user = User(l_name);
    Room(l_roomName) += l_user;
    SetValue(l_user, "average_download_speed", qint32(l_stats.m_averageSpeed));
    SetValue(l_user, "shared_files_count", qint32(l_stats.m_sharedFilesCount));
    SetValue(l_user, "country_code", l_country);
}

void Server::OnUserLeftRoom(MemStream& i_message)
{
    std::string l_roomName;
    std::string l_name;
    i_message.Read(l_roomName);
    i_message.Read(l_name);
    DisconnectIfConnected(TypeOf("room")->HasItem(l_roomName), FindUser(l_name));
}

void Server::OnRoomList(MemStream& i_message)
{
    const bool l_accepted = SettingIsYes("accept_room_list");
    SetSetting("accept_room_list", "no");

    std::list<std::string> l_public;
    std::list<qint32> l_publicCounts;
    std::list<std::string> l_owned;
    std::list<qint32> l_ownedCounts;
    std::list<std::string> l_member;
    std::list<qint32> l_memberCounts;
    std::set<std::string> l_operated;
    i_message.Read(l_public);
    i_message.Read(l_publicCounts);
    i_message.Read(l_owned);
    i_message.Read(l_ownedCounts);
    i_message.Read(l_member);
    i_message.Read(l_memberCounts);
    i_message.Read(l_operated);

    Type* lp_rooms = TypeOf("room");
    // Names and counts go together: each pair is walked to the end of the shorter list.
    auto l_count = l_publicCounts.begin();
    for (auto l_name = l_public.begin();
         l_name != l_public.end() && l_count != l_publicCounts.end(); ++l_name, ++l_count)
    {
        ItemPtr l_room =
            l_accepted ? ItemPtr(lp_rooms->GetItem(*l_name)) : lp_rooms->HasItem(*l_name);
        if (l_room)
            SetValue(l_room, "user_count", *l_count);
    }

    std::unordered_set<Item*> l_ownedRooms;
    l_count = l_ownedCounts.begin();
    for (auto l_name = l_owned.begin(); l_name != l_owned.end() && l_count != l_ownedCounts.end();
         ++l_name, ++l_count)
    {
        ItemPtr l_room = lp_rooms->GetItem(*l_name);
        SetValue(l_room, "user_count", *l_count);
        SetFlag(l_room, "is_owner");
        SetFlag(l_room, "is_private");
        SetFlag(l_room, "is_member");
        l_ownedRooms.insert(l_room);
    }
    for (Item* lp_room : Flagged("is_owner", "room"))
        if (!l_ownedRooms.contains(lp_room))
            ClearFlag(lp_room, "is_owner");

    std::unordered_set<Item*> l_memberRooms;
    l_count = l_memberCounts.begin();
    for (auto l_name = l_member.begin();
         l_name != l_member.end() && l_count != l_memberCounts.end(); ++l_name, ++l_count)
    {
        ItemPtr l_room = lp_rooms->GetItem(*l_name);
        SetValue(l_room, "user_count", *l_count);
        if (l_operated.contains(*l_name))
            SetFlag(l_room, "is_operator");
        SetFlag(l_room, "is_private");
        SetFlag(l_room, "is_member");
        l_memberRooms.insert(l_room);
    }
    for (Item* lp_room : Flagged("is_member", "room"))
        if (!l_ownedRooms.contains(lp_room) && !l_memberRooms.contains(lp_room))
            ClearFlag(lp_room, "is_member");
}

void Server::OnPrivateRoomUsers(MemStream& i_message, const char* ip_roleType)
{
    std::string l_roomName;
    std::set<std::string> l_names;
    i_message.Read(l_roomName);
    i_message.Read(l_names);
    ItemPtr l_holder = Room(l_roomName).NewItem(ip_roleType);
    l_holder.Disconnect("user");
    for (const std::string& l_name : l_names)
        l_holder += User(l_name);
}

void Server::OnPrivateRoomUserChange(MemStream& i_message, const char* ip_roleType, bool i_add)
{
    std::string l_roomName;
    std::string l_name;
    i_message.Read(l_roomName);
    i_message.Read(l_name);
    if (i_add)
        Room(l_roomName).NewItem(ip_roleType) += User(l_name);
    else
        DisconnectIfConnected(TypeOf("room")->HasItem(l_roomName)[ip_roleType], FindUser(l_name));
}

void Server::OnPrivateRoomAdded(MemStream& i_message)
{
    std::string l_roomName;
    i_message.Read(l_roomName);
    ItemPtr l_room = Room(l_roomName);
    SetFlag(l_room, "is_private");
    SetFlag(l_room, "is_member");
    EnterRoom(l_roomName, false);
}

void Server::OnPrivateRoomRemoved(MemStream& i_message)
{
    std::string l_roomName;
    i_message.Read(l_roomName);
    ItemPtr l_room = Room(l_roomName);
    ClearFlag(l_room, "is_member");
    ClearFlag(l_room, "is_operator");
    ClearFlag(l_room, "is_owner");
}

void Server::OnPrivateRoomAddSetting(MemStream& i_message)
{
    quint8 l_enabled = 0;
    i_message.Read(l_enabled);
    SetSetting("accept_private_room_add", l_enabled != 0 ? "yes" : "no");
    emit PrivateRoomAddEnabled(l_enabled != 0);
}

void Server::OnOwnOperatorStatus(MemStream& i_message)
{
    std::string l_roomName;
    i_message.Read(l_roomName);
    SetFlag(Room(l_roomName), "is_operator");
}

void Server::OnPeerConnectionRequest(MemStream& i_message)
{
    std::string l_name;
    std::string l_type;
    quint32 l_address = 0;
    qint32 l_port = 0;
    quint32 l_token = 0;
    quint8 l_privileged = 0;
    qint32 l_obfuscationType = 0;
    qint32 l_obfuscatedPort = 0;
    i_message.Read(l_name);
    i_message.Read(l_type);
    i_message.Read(l_address);
    i_message.Read(l_port);
    i_message.Read(l_token);
    i_message.Read(l_privileged);
    i_message.Read(l_obfuscationType);
    if (l_obfuscationType == rotatedObfuscation)
        i_message.Read(l_obfuscatedPort);

    ItemPtr l_request = TypeOf("peer_connection_request")->NewItem();
    l_request += TypeOf("peer_connection_request_id")->GetItem(l_token);
    l_request += TypeOf("peer_connection_type")->GetItem(l_type);
    ItemPtr l_user = User(l_name);
    l_request += l_user;
    SetValue(l_user, "user_address", l_address);
    SetValue(l_user, "user_port", l_port);
    SetValue(l_user, "user_obfuscated_port",
             l_obfuscationType == rotatedObfuscation ? l_obfuscatedPort : 0);
    if (l_privileged != 0)
        SetFlag(l_user, "is_privileged");
}

void Server::OnPossibleParents(MemStream& i_message)
{
    const std::vector<ParentList::value_type> l_entries =
        ReadCountedEntries<ParentList::value_type>(
            i_message,
            [&](ParentList::value_type& i_entry)
            {
                return i_message.Read(i_entry.first) && i_message.Read(i_entry.second.first) &&
                       i_message.Read(i_entry.second.second);
            });
    ParentList l_parents(l_entries.begin(), l_entries.end());
    emit DNetPossibleParents(l_parents);
}

void Server::OnSearchCorrelations(MemStream& i_message)
{
    std::string l_search;
    i_message.Read(l_search);
    const std::vector<std::pair<std::string, qint32>> l_pairs =
        ReadCountedEntries<std::pair<std::string, qint32>>(
            i_message, [&](std::pair<std::string, qint32>& i_pair)
            { return i_message.Read(i_pair.first) && i_message.Read(i_pair.second); });

    ItemPtr l_text = TypeOf("search_request_text")->GetItem(l_search);
    l_text.GetItems("search_correlation").Remove();
    for (const auto& [l_related, l_rank] : l_pairs)
    {
        ItemPtr l_correlation = l_text.NewItem("search_correlation");
        SetValue(l_correlation, "correlation_text", l_related);
        SetValue(l_correlation, "correlation_rank", l_rank);
    }
    emit SearchCorrelations(l_search);
}
