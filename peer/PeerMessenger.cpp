#include "PeerMessenger.h"

#include "Data.h"
#include "DataSaver.h"
#include "EventHandler.h"
#include "GeneralFunctions.h"
#include "InflatingInputStream.h"
#include "Log.h"
#include "PeerMessageCode.h"
#include "PeerObfuscation.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "TimerManager.h"

#include <QDateTime>
#include <QMetaMethod>
#include <QtEndian>

#include <sys/resource.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <list>
#include <new>
#include <set>
#include <unordered_map>
#include <vector>

PeerMessenger* peerMessenger = nullptr;
bool g_peerMessengerDeleted = false;

namespace
{
const QString category = QStringLiteral("Peer Messenger");

// Limits of the expiry passes, in milliseconds.
constexpr qint64 unsentMessageLimit = 300000;
constexpr qint64 attemptLimit = 60000;
constexpr qint64 idleConnectionLimit = 120000;

// A long body refreshes its connection's activity each time this many more bytes have come.
constexpr qint64 activityStep = 102400;
// A receive buffer grows by at least this much, and one larger than this is let go after its
// frame.
constexpr qint64 receiveBufferStep = 65536;
// Refused connections are logged at most this often.
constexpr qint64 refusalLogInterval = 60000;
// The count of open descriptors is taken again after this long.
constexpr qint64 descriptorCountInterval = 1000;

void PeerLog(int i_level, const QString& i_message, ItemPtr i_item = ItemPtr())
{
    Log(category, i_level, i_message, i_item);
}

bool HasFlag(ItemPtr i_item, const char* ip_flag)
{
    return i_item && i_item.IsConnected(ip_flag);
}

QString ObfuscatedWord(bool i_obfuscated)
{
    return i_obfuscated ? QStringLiteral("obfuscated ") : QString();
}

ItemPtr SocketItem(const char* ip_type, QTcpSocket* ip_socket)
{
    return TypeOf(ip_type)->HasItem(Value(ip_socket));
}

// A message waiting for a connection, with the copy of it that it owns.
void RemoveUnsentMessage(ItemPtr i_item)
{
    MemStream* lp_message = i_item.AsPtr<MemStream>();
    i_item.Remove();
    delete lp_message;
}

// A connection of this client's own answers no request, so its opening message names no token.
constexpr quint32 noConnectionToken = 0;

MemStream NewMessage(quint32 i_code)
{
    MemStream l_message;
    l_message.Write(i_code);
    return l_message;
}

// A stream's bytes from its first one, whatever has been read of it.
const char* StreamStart(MemStream& i_stream)
{
    return i_stream.GetReadBuffer() - (i_stream.GetWriteIndex() - i_stream.GetPendingReadLength());
}

int CodeOf(MemStream& i_message)
{
    if (i_message.GetWriteIndex() < 4)
        return -1;
    return static_cast<int>(qFromLittleEndian<quint32>(StreamStart(i_message)));
}

enum class ShareListRead
{
    Whole,
    Malformed,
    TooManyFiles,
    FoldersTooDeep,
    FolderPathsTooLong
};

// The folders of a share list into i_share. Reading stops at the first folder that passes a
// bound, so that a list refused holds no more than the bound.
ShareListRead ReadShareList(InputStream& i_stream, FileInfoMap& i_share,
                            const PeerMessenger::Limits& i_limits)
{
    quint32 l_folders = 0;
    if (!i_stream.Read(l_folders) || l_folders > InputStream::MaxReadLength)
        return ShareListRead::Malformed;
    qint64 l_files = 0;
    qint64 l_pathBytes = 0;
    for (quint32 l_index = 0; l_index < l_folders; ++l_index)
    {
        std::string l_name;
        quint32 l_count = 0;
        if (!i_stream.Read(l_name) || !i_stream.Read(l_count) ||
            l_count > InputStream::MaxReadLength)
            return ShareListRead::Malformed;
        l_files += l_count;
        if (l_files > PeerMessenger::MaxShareListFiles)
            return ShareListRead::TooManyFiles;
        l_pathBytes += qint64(l_name.size());
        if (l_pathBytes > i_limits.m_shareListPathBytes)
            return ShareListRead::FolderPathsTooLong;
        if (std::count(l_name.begin(), l_name.end(), '\\') >= i_limits.m_shareListDepth)
            return ShareListRead::FoldersTooDeep;
        // A folder named twice keeps its later files.
        std::set<FileInfo>& l_set = i_share[l_name];
        l_set.clear();
        for (quint32 l_file = 0; l_file < l_count; ++l_file)
        {
            FileInfo l_info;
            if (!i_stream.Read(l_info))
                return ShareListRead::Malformed;
            l_set.insert(std::move(l_info));
        }
    }
    return ShareListRead::Whole;
}

// Lets the process open as many descriptors as its hard limit allows: every peer connection
// takes one.
void RaiseDescriptorLimit()
{
    rlimit l_limit{};
    if (getrlimit(RLIMIT_NOFILE, &l_limit) != 0 || l_limit.rlim_cur >= l_limit.rlim_max)
        return;
    l_limit.rlim_cur = l_limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &l_limit) != 0)
        PeerLog(1, QStringLiteral("Could not raise the limit of open files"));
}

int DescriptorLimit()
{
    rlimit l_limit{};
    if (getrlimit(RLIMIT_NOFILE, &l_limit) != 0 || l_limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<int>::max();
    return static_cast<int>(std::min<rlim_t>(l_limit.rlim_cur, std::numeric_limits<int>::max()));
}

int CountOpenDescriptors()
{
    DIR* lp_folder = opendir("/proc/self/fd");
    if (!lp_folder)
        return 0;
    int l_count = 0;
    while (const dirent* lp_entry = readdir(lp_folder))
        if (lp_entry->d_name[0] != '.')
            ++l_count;
    closedir(lp_folder);
    // Less the descriptor of the folder being read.
    return l_count - 1;
}
} // namespace

PeerMessenger::PeerMessenger()
{
    peerMessenger = this;
    m_elapsed.start();
    SetSteadyClock(nullptr);
    connect(gp_server, &Server::Connected, this, &PeerMessenger::OnConnectedToServer);
    DeclareSocketTypes();
    DeclareSearchTypes();
    DeclareOutgoingTypes();

    PathNode* lp_user = new PathNode(&d, "user");
    for (const char* lp_value : {"user_address", "user_port", "user_obfuscated_port"})
        new PathNode(lp_user, lp_value, RequireConnected);
    d.AddPathEventHandler(
        lp_user, new EventHandler<PeerMessenger, Item*>(this, &PeerMessenger::OnUserAddress));

    connect(gp_server, &Server::IndirectPeerConnectionFailure, this,
            &PeerMessenger::OnIndirectPeerConnectionFailure);
    connect(&timerManager->m_halfMinuteTimer, &QTimer::timeout, this,
            &PeerMessenger::EveryHalfMinute);
    dataSaver->AddDataLoadedEventHandler(this);
    RaiseDescriptorLimit();
    // Obfuscation keys come from rand.
    std::srand(static_cast<unsigned int>(std::time(nullptr)));
}

PeerMessenger::~PeerMessenger()
{
    g_peerMessengerDeleted = true;
    if (peerMessenger == this)
        peerMessenger = nullptr;
    // What the store's items point to dies with this service, and the items with it: the sockets
    // of open connections and attempts belong to no other object. A messaging connection's item
    // frees its activity time as it goes.
    std::set<QTcpSocket*> l_sockets;
    for (const char* lp_type : {"uninitialized_socket", "peer_socket",
                                "peer_connection_request_socket", "connect_to_peer_request_socket"})
        for (Item* lp_item : TypeOf(lp_type)->GetItems())
        {
            l_sockets.insert(ItemPtr(lp_item).AsPtr<QTcpSocket>());
            ItemPtr(lp_item).Remove();
        }
    for (QTcpSocket* lp_socket : l_sockets)
    {
        lp_socket->disconnect();
        delete lp_socket;
    }
    for (Item* lp_message : TypeOf("unsent_message")->GetItems())
        RemoveUnsentMessage(lp_message);
}

void PeerMessenger::DeclareSocketTypes()
{
    d.NewType("uninitialized_socket", true, false, false);
    d.NewType("peer_socket", true, false, false);
    d.NewType("connection_open_time", false, false, true);
    d.NewType("last_activity_time", true, false, true);
    d.NewType("is_obfuscated", false, true, true);
    Relate("peer_socket", "user", Many, One);
    Relate("peer_socket", "connection_open_time", Many, One);
    Relate("peer_socket", "last_activity_time", Many, One);
    Relate("peer_socket", "is_obfuscated", Many, One);
    Relate("uninitialized_socket", "is_obfuscated", Many, One);

    Type* lp_peerSocket = TypeOf("peer_socket");
    lp_peerSocket->m_itemAddedEvent.AddHandler(
        new EventHandler<PeerMessenger, Item*>(this, &PeerMessenger::OnPeerSocketItemAdded));
    lp_peerSocket->m_itemRemovedEvent.AddHandler(
        new EventHandler<PeerMessenger, Item*>(this, &PeerMessenger::OnPeerSocketItemRemoved));

    d.NewType("peer_connection_request", true, true, false);
    d.NewType("peer_connection_request_id", false, false, true);
    d.NewType("peer_connection_type", false, false, true);
    d.NewType("peer_connection_request_socket", true, false, false);
    d.NewType("user_address", false, false, true);
    d.NewType("user_port", false, false, true);
    d.NewType("user_obfuscated_port", false, false, true);
    d.NewType("socket_creation_time", false, false, true);
    Relate("peer_connection_request", "peer_connection_request_id", Many, One);
    Relate("peer_connection_request", "peer_connection_request_socket", One, One);
    Relate("peer_connection_request", "user", Many, One);
    Relate("peer_connection_request", "peer_connection_type", Many, One);
    Relate("peer_connection_request", "is_obfuscated", Many, One);
    Relate("peer_connection_request_socket", "socket_creation_time", Many, One);
    Relate("user", "user_address", Many, One);
    Relate("user", "user_port", Many, One);
    Relate("user", "user_obfuscated_port", Many, One);

    // Registered before any path subscription on these pairs, so that a stale obfuscated port is
    // gone before the paths look at the new address.
    for (const char* lp_endpoint : {"user_address", "user_port"})
        d.AddConnectionEventHandler(TypeOf("user"), TypeOf(lp_endpoint),
                                    new EventHandler<PeerMessenger, ConnectionInfo&>(
                                        this, &PeerMessenger::OnUserEndpointChanged));

    PathNode* lp_request = new PathNode(&d, "peer_connection_request");
    new PathNode(lp_request, "peer_connection_request_id", RequireConnected);
    new PathNode(lp_request, "peer_connection_type", RequireConnected);
    PathNode* lp_user = new PathNode(lp_request, "user", RequireConnected);
    for (const char* lp_value : {"user_address", "user_port", "user_obfuscated_port"})
        new PathNode(lp_user, lp_value, RequireConnected);
    d.AddPathEventHandler(lp_request, new EventHandler<PeerMessenger, Item*>(
                                          this, &PeerMessenger::OnPeerConnectionRequest));
}

void PeerMessenger::DeclareSearchTypes()
{
    d.NewType("search_request", true, false, false);
    d.NewType("search_request_text", true, false, true);
    d.NewType("wishlist_search", false, true, true);
    d.NewType("search_results", true, true, true);
    d.NewType("search_result", false, true, true);
    d.NewType("search_results_user_available", false, false, true);
    d.NewType("search_results_user_speed", false, false, true);
    d.NewType("search_results_uploads_in_queue", false, false, true);
    d.NewType("search_result_file_name", false, false, true);
    d.NewType("search_result_file_folder", false, false, true);
    d.NewType("file_size", false, false, true);
    Relate("search_request", "search_request_text", Many, One);
    Relate("search_request", "wishlist_search", Many, One);
    Relate("search_request", "search_results", One, Many, true);
    TypeOf("search_request")
        ->m_itemRemovedEvent.AddHandler(
            new EventHandler<PeerMessenger, Item*>(this, &PeerMessenger::OnSearchRequestRemoved));
    Relate("search_results", "search_result", One, Many, true);
    Relate("search_results", "user", Many, One);
    Relate("search_results", "search_results_user_available", Many, One);
    Relate("search_results", "search_results_user_speed", Many, One);
    Relate("search_results", "search_results_uploads_in_queue", Many, One);
    Relate("search_result", "search_result_file_name", Many, One);
    Relate("search_result", "search_result_file_folder", Many, One);
    Relate("search_result", "file_size", Many, One);

    d.NewType("search_correlation", false, true, true);
    d.NewType("correlation_text", false, false, true);
    d.NewType("correlation_rank", false, false, true);
    Relate("search_request_text", "search_correlation", One, Many);
    Relate("search_correlation", "correlation_text", Many, One);
    Relate("search_correlation", "correlation_rank", Many, One);

    for (const char* lp_attribute : {"mpeg_version", "channel_mode", "audio_frequency",
                                     "bitrate_mode", "bitrate", "length_seconds"})
        d.NewType(lp_attribute, false, false, true);
    Relate("search_result", "bitrate_mode", Many, One);
    Relate("search_result", "bitrate", Many, One);
    Relate("search_result", "length_seconds", Many, One);
}

void PeerMessenger::DeclareOutgoingTypes()
{
    d.NewType("unsent_message", true, false, true);
    d.NewType("send_order", false, false, true);
    d.NewType("send_time", false, false, true);
    m_sendOrderCounter = 0;
    Relate("unsent_message", "user", Many, One);
    Relate("unsent_message", "send_order", One, One);
    Relate("unsent_message", "send_time", Many, One);

    d.NewType("connect_to_peer_request", true, true, true);
    d.NewType("connect_to_peer_request_status", false, false, true);
    d.NewType("connect_to_peer_request_socket", true, false, true);
    d.NewType("indirect_connect_to_peer_request", true, false, true);
    Relate("connect_to_peer_request", "connect_to_peer_request_status", Many, One);
    Relate("connect_to_peer_request", "connect_to_peer_request_socket", One, One);
    Relate("connect_to_peer_request", "user", Many, One);
    Relate("connect_to_peer_request", "peer_connection_type", Many, One);
    Relate("connect_to_peer_request", "indirect_connect_to_peer_request", One, One);
    Relate("connect_to_peer_request_socket", "socket_creation_time", Many, One);
    Relate("indirect_connect_to_peer_request", "send_time", Many, One);
    Relate("connect_to_peer_request_socket", "user", Many, One);
    Relate("connect_to_peer_request_socket", "peer_connection_type", Many, One);
    Relate("connect_to_peer_request_socket", "is_obfuscated", Many, One);
    Relate("indirect_connect_to_peer_request", "user", Many, One);
    Relate("indirect_connect_to_peer_request", "peer_connection_type", Many, One);

    for (const char* lp_timed :
         {"uninitialized_socket", "peer_connection_request_socket", "unsent_message",
          "connect_to_peer_request_socket", "indirect_connect_to_peer_request"})
        TypeOf(lp_timed)->m_itemRemovedEvent.AddHandler(
            new EventHandler<PeerMessenger, Item*>(this, &PeerMessenger::OnTimedItemRemoved));
}

// Listening and accepting.

void PeerMessenger::DataLoaded()
{
    Type* lp_settings = TypeOf("global");
    if (!lp_settings->HasItem("listening_port"))
        SetSetting("listening_port", "2235");
    if (!lp_settings->HasItem("obfuscated_listening_port"))
        SetSetting("obfuscated_listening_port", "2236");
    ItemPtr l_newPort = lp_settings->HasItem("new_listening_port");
    if (ItemPtr l_value = l_newPort["global_value"])
    {
        SetSetting("listening_port", l_value.AsString());
        SetSetting("obfuscated_listening_port", Value(l_value.AsInt() + 1));
        l_newPort.Remove();
    }

    Listen(m_listeningServer, "listening_port");
    Listen(m_obfuscatedListeningServer, "obfuscated_listening_port");
    connect(&m_listeningServer, &QTcpServer::newConnection, this, &PeerMessenger::OnNewConnection,
            Qt::UniqueConnection);
    connect(&m_obfuscatedListeningServer, &QTcpServer::newConnection, this,
            &PeerMessenger::OnNewObfuscatedConnection, Qt::UniqueConnection);
}

void PeerMessenger::Listen(QTcpServer& i_server, const char* ip_portSetting)
{
    i_server.close();
    const auto l_port = static_cast<quint16>(SettingValue(ip_portSetting).AsInt());
    if (i_server.listen(m_listeningAddress, l_port))
        return;
    // Another program, often a second client on this machine, may hold the port: the user must
    // learn that no one can connect on it.
    PeerLog(
        1,
        QStringLiteral("Could not listen on port %1: %2").arg(l_port).arg(i_server.errorString()));
    emit ListeningFailed(l_port, i_server.errorString());
}

void PeerMessenger::OnNewConnection()
{
    AcceptConnections(m_listeningServer, false);
}

void PeerMessenger::OnNewObfuscatedConnection()
{
    AcceptConnections(m_obfuscatedListeningServer, true);
}

void PeerMessenger::AcceptConnections(QTcpServer& i_server, bool i_obfuscated)
{
    while (QTcpSocket* lp_socket = i_server.nextPendingConnection())
    {
        // Like the sockets this client opens, owned by this service and then by their receivers,
        // which may move them to other threads.
        lp_socket->setParent(nullptr);
        if (!AdmitConnection(lp_socket))
        {
            lp_socket->abort();
            lp_socket->deleteLater();
            continue;
        }
        lp_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        connect(lp_socket, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
        connect(lp_socket, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnSocketError);
        connect(lp_socket, &QTcpSocket::disconnected, this, &PeerMessenger::OnSocketClosed);
        ItemPtr l_item = TypeOf("uninitialized_socket")->NewItem(Value(lp_socket));
        if (i_obfuscated)
            l_item.NewItem("is_obfuscated");
        Stamp(l_item);
    }
}

bool PeerMessenger::AdmitConnection(QTcpSocket* ip_socket)
{
    // Sockets are followed wherever they are handed over to, until they are deleted.
    const QString l_address = ip_socket->peerAddress().toString();
    std::vector<QPointer<QTcpSocket>>& l_open = m_connectionsByAddress[l_address];
    std::erase_if(l_open, [](const QPointer<QTcpSocket>& i_socket) { return i_socket.isNull(); });
    const bool l_crowded = std::ssize(l_open) >= m_limits.m_connectionsPerAddress;
    if (!l_crowded && FreeDescriptors() > m_limits.m_descriptorReserve)
    {
        l_open.emplace_back(ip_socket);
        ++m_acceptedSinceCount;
        return true;
    }
    ++m_refusedSinceLog;
    const qint64 l_now = SteadyMilliseconds();
    if (m_refusalLoggedAt < 0 || l_now - m_refusalLoggedAt >= refusalLogInterval)
    {
        PeerLog(1, QStringLiteral("Refused %1 incoming connections: %2")
                       .arg(QString::number(m_refusedSinceLog),
                            l_crowded ? QStringLiteral("too many from %1").arg(l_address)
                                      : QStringLiteral("too few free descriptors")));
        m_refusalLoggedAt = l_now;
        m_refusedSinceLog = 0;
    }
    return false;
}

int PeerMessenger::FreeDescriptors()
{
    // Counting is a walk of every descriptor: it is done again only after a while, or to confirm
    // that the estimate has come near the limit.
    const int l_limit = DescriptorLimit();
    const qint64 l_now = SteadyMilliseconds();
    const auto l_estimate = [&] { return l_limit - (m_openDescriptors + m_acceptedSinceCount); };
    if (m_descriptorsCountedAt < 0 || l_now - m_descriptorsCountedAt >= descriptorCountInterval ||
        l_estimate() <= m_limits.m_descriptorReserve)
    {
        m_openDescriptors = CountOpenDescriptors();
        m_acceptedSinceCount = 0;
        m_descriptorsCountedAt = l_now;
    }
    return l_estimate();
}

void PeerMessenger::OnConnectedToServer()
{
    // With port 0 saved the system chose the port: the server must learn the one chosen, or no
    // other user could connect.
    const auto l_port = [](const QTcpServer& i_server, const char* ip_setting) {
        return i_server.isListening() ? int(i_server.serverPort())
                                      : SettingValue(ip_setting).AsInt();
    };
    gp_server->SetWaitPort(l_port(m_listeningServer, "listening_port"),
                           l_port(m_obfuscatedListeningServer, "obfuscated_listening_port"));
}

// Framing.

bool PeerMessenger::SendMessage(QTcpSocket* ip_socket, MemStream& i_message, bool i_obfuscate)
{
    const QByteArray l_frame =
        PeerObfuscation::Frame(StreamStart(i_message), i_message.GetWriteIndex(), i_obfuscate,
                               i_obfuscate ? PeerObfuscation::NewKey() : 0);
    if (ip_socket->bytesToWrite() + l_frame.size() > m_limits.m_unsentBytes)
    {
        DropUnsent(ip_socket);
        return false;
    }
    if (ip_socket->write(l_frame) == -1)
    {
        PeerLog(
            1, QStringLiteral("Error writing message to socket: %1").arg(ip_socket->errorString()));
        return false;
    }
    return true;
}

void PeerMessenger::DropUnsent(QTcpSocket* ip_socket)
{
    ItemPtr l_peerSocket = SocketItem("peer_socket", ip_socket);
    const std::string l_user = l_peerSocket["user"].AsString();
    // The name is filled in with the rest: a "%1" in it would take a later argument.
    PeerLog(1,
            QStringLiteral("Connection to user %1 does not take what is sent to it (%2 bytes "
                           "waiting), closing")
                .arg(LoggedName(l_user), QString::number(ip_socket->bytesToWrite())),
            l_peerSocket ? User(l_user) : ItemPtr());
    ip_socket->disconnect(this);
    ip_socket->abort();
    DisposeOfSocket(ip_socket);
}

void PeerMessenger::OnSocketReadyToRead()
{
    if (QTcpSocket* lp_socket = qobject_cast<QTcpSocket*>(sender()))
        ReadSocket(lp_socket);
}

void PeerMessenger::ReadSocket(QTcpSocket* ip_socket)
{
    if (!m_socketBufferInfo.contains(ip_socket))
    {
        ItemPtr l_item = SocketItem("uninitialized_socket", ip_socket);
        if (!l_item)
            l_item = SocketItem("peer_socket", ip_socket);
        m_socketBufferInfo[ip_socket].m_obfuscated = HasFlag(l_item, "is_obfuscated");
    }

    // The entry is looked up again after every step that may call out: a handler may have
    // disposed of the socket or handed it over.
    for (;;)
    {
        auto l_entry = m_socketBufferInfo.find(ip_socket);
        if (l_entry == m_socketBufferInfo.end())
            return;
        SocketBufferInfo& l_info = l_entry->second;

        if (l_info.m_readState == ReadState::Token)
        {
            uchar l_bytes[4];
            if (ip_socket->bytesAvailable() < 4 ||
                ip_socket->read(reinterpret_cast<char*>(l_bytes), 4) != 4)
                return;
            const quint32 l_token = qFromLittleEndian<quint32>(l_bytes);
            const std::string l_user = l_info.m_user;
            ip_socket->disconnect();
            m_socketBufferInfo.erase(l_entry);
            emit FileConnectionRequested(l_user, ip_socket, l_token);
            return;
        }

        if (l_info.m_readState == ReadState::Length)
        {
            const qint64 l_header = l_info.m_obfuscated ? 8 : 4;
            uchar l_bytes[8];
            if (ip_socket->bytesAvailable() < l_header ||
                ip_socket->read(reinterpret_cast<char*>(l_bytes), l_header) != l_header)
                return;
            quint32 l_length = qFromLittleEndian<quint32>(l_bytes + l_header - 4);
            if (l_info.m_obfuscated)
            {
                l_info.m_key = PeerObfuscation::RotateLeft(qFromLittleEndian<quint32>(l_bytes));
                l_length ^= l_info.m_key;
            }
            if (l_length > MaxFrameLength)
            {
                DisposeOfSocket(ip_socket);
                return;
            }
            l_info.m_readState = ReadState::Body;
            l_info.m_length = l_length;
        }

        if (static_cast<quint32>(l_info.m_body.GetWriteIndex()) < l_info.m_length)
        {
            if (!ReadBody(ip_socket, l_info))
                return;
            continue;
        }

        if (l_info.m_obfuscated)
            PeerObfuscation::Transform(l_info.m_body.GetReadBuffer(), l_info.m_length,
                                       l_info.m_key);
        if (!HandleMessage(ip_socket, l_info.m_body))
        {
            ip_socket->disconnect();
            DisposeOfSocket(ip_socket);
            return;
        }

        l_entry = m_socketBufferInfo.find(ip_socket);
        if (l_entry == m_socketBufferInfo.end())
            return;
        if (l_entry->second.m_readState == ReadState::HandedOver)
        {
            m_socketBufferInfo.erase(l_entry);
            return;
        }
        // A first message may have turned the connection into one that owes a token.
        if (l_entry->second.m_readState == ReadState::Body)
            l_entry->second.m_readState = ReadState::Length;
        if (l_entry->second.m_body.GetBufferSize() > receiveBufferStep)
            l_entry->second.m_body = MemStream();
        else
            l_entry->second.m_body.Reset();
    }
}

bool PeerMessenger::ReadBody(QTcpSocket* ip_socket, SocketBufferInfo& i_info)
{
    const qint64 l_available = ip_socket->bytesAvailable();
    if (l_available <= 0)
        return false;
    MemStream& l_body = i_info.m_body;
    const qint64 l_have = l_body.GetWriteIndex();
    const qint64 l_missing = i_info.m_length - l_have;
    if (l_body.GetBufferSize() == l_have)
    {
        // The buffer grows with what has arrived, so a length alone buys no memory.
        const qint64 l_capacity = std::min<qint64>(
            i_info.m_length, std::max({2 * l_have, receiveBufferStep, l_have + l_available}));
        MemStream l_grown;
        l_grown.EnsureBufferCapacity(static_cast<qint32>(l_capacity));
        if (l_have > 0)
        {
            std::memcpy(l_grown.GetWriteBuffer(), l_body.GetReadBuffer(),
                        static_cast<std::size_t>(l_have));
            l_grown.AdvanceWriteIndex(static_cast<qint32>(l_have));
        }
        l_body = l_grown;
    }
    const qint64 l_room = l_body.GetBufferSize() - l_have;
    const qint64 l_read =
        ip_socket->read(l_body.GetWriteBuffer(), std::min({l_missing, l_room, l_available}));
    if (l_read <= 0)
        return false;
    l_body.AdvanceWriteIndex(static_cast<qint32>(l_read));
    if ((l_have + l_read) / activityStep > l_have / activityStep)
        if (ItemPtr l_peerSocket = SocketItem("peer_socket", ip_socket))
            MarkActive(l_peerSocket);
    return true;
}

qint64 PeerMessenger::ReceiveBufferCapacity(QTcpSocket* ip_socket) const
{
    const auto l_entry = m_socketBufferInfo.find(ip_socket);
    return l_entry == m_socketBufferInfo.end() ? -1 : l_entry->second.m_body.GetBufferSize();
}

bool PeerMessenger::HandleMessage(QTcpSocket* ip_socket, MemStream i_message)
{
    if (ItemPtr l_item = SocketItem("uninitialized_socket", ip_socket))
        return HandleFirstMessage(ip_socket, l_item, i_message);
    if (ItemPtr l_item = SocketItem("peer_socket", ip_socket))
        return HandlePeerMessage(l_item, i_message);
    PeerLog(1, QStringLiteral("Message on a connection that is not a messaging connection, "
                              "disposing of socket"));
    return false;
}

bool PeerMessenger::HandleFirstMessage(QTcpSocket* ip_socket, ItemPtr i_item, MemStream& i_message)
{
    const bool l_obfuscated = HasFlag(i_item, "is_obfuscated");
    i_item.Remove();
    const QString l_word = ObfuscatedWord(l_obfuscated);
    const auto l_fail = [&l_word](ItemPtr i_user = ItemPtr())
    {
        PeerLog(1,
                QStringLiteral("Failure initializing %1peer connection, disposing of socket")
                    .arg(l_word),
                i_user);
        return false;
    };

    quint8 l_initCode = 0;
    if (!i_message.Read(l_initCode))
    {
        PeerLog(1,
                QStringLiteral("Failed to read direction from new %1peer connection").arg(l_word));
        return l_fail();
    }

    if (l_initCode == PeerInitCode::PierceFirewall)
    {
        quint32 l_token = 0;
        if (!i_message.Read(l_token))
        {
            PeerLog(
                1,
                QStringLiteral("Failed to read req from %1indirect peer connection").arg(l_word));
            return l_fail();
        }
        ItemPtr l_indirect = TypeOf("indirect_connect_to_peer_request")->HasItem(Value(l_token));
        if (!l_indirect)
        {
            PeerLog(1,
                    QStringLiteral("Req sent on %1indirect peer connection not found").arg(l_word));
            return l_fail();
        }
        const std::string l_user = l_indirect["user"].AsString();
        const std::string l_type = l_indirect["peer_connection_type"].AsString();
        ItemPtr l_request = l_indirect["connect_to_peer_request"];
        l_indirect.Remove();
        if (l_request)
            DisposeOfPeerConnectionRequest(l_request);
        ItemPtr l_userItem = User(l_user);
        PeerLog(1,
                QStringLiteral("Found req, accepted %1indirect connection to user %2, connection "
                               "type %3")
                    .arg(l_word, LoggedName(l_user), LoggedText(FromUtf8(l_type))),
                l_userItem);
        if (l_type == "P")
        {
            AddPeerSocketItem(ip_socket, l_user, l_obfuscated);
            SendUnsentMessages(l_user);
        }
        else if (l_type == "F")
        {
            HandOver(ip_socket);
            emit FileConnectionAccepted(l_user, ip_socket);
        }
        else if (l_type == "D")
        {
            HandOver(ip_socket);
            emit DNetConnectionAccepted(l_user, ip_socket);
        }
        else
            return l_fail(l_userItem);
        return true;
    }

    std::string l_user;
    std::string l_type;
    quint32 l_unused = 0;
    if (!i_message.Read(l_user) || !i_message.Read(l_type) || !i_message.Read(l_unused))
        return l_fail();
    ItemPtr l_userItem = User(l_user);
    if (l_type == "P")
    {
        PeerLog(1,
                QStringLiteral("Accepted %1messaging connection to user %2")
                    .arg(l_word, LoggedName(l_user)),
                l_userItem);
        AddPeerSocketItem(ip_socket, l_user, l_obfuscated);
        SendUnsentMessages(l_user);
    }
    else if (l_type == "F")
    {
        PeerLog(
            1,
            QStringLiteral("Accepted %1file connection to user %2").arg(l_word, LoggedName(l_user)),
            l_userItem);
        SocketBufferInfo& l_info = m_socketBufferInfo[ip_socket];
        l_info.m_readState = ReadState::Token;
        l_info.m_user = l_user;
        l_info.m_awaitingSince = SteadyMilliseconds();
    }
    else if (l_type == "D")
    {
        PeerLog(
            1,
            QStringLiteral("Accepted %1DNet connection to user %2").arg(l_word, LoggedName(l_user)),
            l_userItem);
        HandOver(ip_socket);
        emit DNetConnectionRequested(l_user, ip_socket);
    }
    PeerLog(1,
            QStringLiteral("Peer %1connection of type %2 opened from user %3")
                .arg(l_word, LoggedText(FromUtf8(l_type)), LoggedName(l_user)),
            l_userItem);
    if (l_type != "P" && l_type != "F" && l_type != "D")
        return l_fail(l_userItem);
    return true;
}

void PeerMessenger::HandOver(QTcpSocket* ip_socket)
{
    m_socketBufferInfo[ip_socket].m_readState = ReadState::HandedOver;
    ip_socket->disconnect();
}

void PeerMessenger::AddPeerSocketItem(QTcpSocket* ip_socket, const std::string& i_user,
                                      bool i_obfuscated)
{
    ItemPtr l_item = TypeOf("peer_socket")->NewItem(Value(ip_socket));
    l_item += User(i_user);
    SetValue(l_item, "connection_open_time", NowText());
    if (i_obfuscated)
        l_item.NewItem("is_obfuscated");
}

void PeerMessenger::DisposeOfSocket(QTcpSocket* ip_socket)
{
    if (g_peerMessengerDeleted)
        return;
    ip_socket->disconnect(this);
    ip_socket->close();
    ip_socket->deleteLater();
    PeerLog(1, QStringLiteral("Disposing of socket"));

    if (ItemPtr l_item = SocketItem("peer_connection_request_socket", ip_socket))
    {
        PeerLog(2, QStringLiteral("Identified as peer connection request socket"));
        if (ItemPtr l_request = l_item["peer_connection_request"])
        {
            PeerLog(2, QStringLiteral("Request found, removing"));
            gp_server->SendCantConnectToPeer(l_request["peer_connection_request_id"].AsUInt(),
                                             l_request["user"].AsString());
            l_request.Remove();
            l_item.Remove();
        }
        else
            PeerLog(2, QStringLiteral("Request not found"));
    }
    else if (ItemPtr l_item = SocketItem("uninitialized_socket", ip_socket))
    {
        PeerLog(2, QStringLiteral("Identified as uninitialized socket"));
        l_item.Remove();
    }
    else if (ItemPtr l_item = SocketItem("peer_socket", ip_socket))
    {
        PeerLog(2, QStringLiteral("Identified as peer socket"));
        l_item.Remove();
    }
    else
        PeerLog(2, QStringLiteral("Socket not identified"));

    m_socketBufferInfo.erase(ip_socket);
    for (const char* lp_type : {"peer_connection_request_socket", "uninitialized_socket",
                                "peer_socket", "connect_to_peer_request_socket"})
        if (ItemPtr l_item = SocketItem(lp_type, ip_socket))
            l_item.Remove();
}

void PeerMessenger::OnSocketClosed()
{
    if (QTcpSocket* lp_socket = qobject_cast<QTcpSocket*>(sender()))
        DisposeOfSocket(lp_socket);
}

void PeerMessenger::OnSocketError(QAbstractSocket::SocketError)
{
    if (QTcpSocket* lp_socket = qobject_cast<QTcpSocket*>(sender()))
        DisposeOfSocket(lp_socket);
}

// Establishing connections.

void PeerMessenger::ConnectToUser(std::string i_user, const char* ip_type)
{
    ItemPtr l_user = User(i_user);
    PeerLog(1,
            QStringLiteral("Attempting peer connection of type %1 to user %2")
                .arg(QString::fromLatin1(ip_type), LoggedName(i_user)),
            l_user);
    ItemPtr l_type = TypeOf("peer_connection_type")->GetItem(ip_type);
    if (!d.GetItems(l_user, l_type, "connect_to_peer_request").empty())
    {
        PeerLog(2,
                QStringLiteral("Connection attempt to same user of same type already in progress, "
                               "not re-attempting."),
                l_user);
        return;
    }
    ItemPtr l_request = TypeOf("connect_to_peer_request")->NewItem();
    l_request += l_user;
    l_request += l_type;

    PeerLog(2, QStringLiteral("Also sending indirect connection request."), l_user);
    const unsigned int l_token = gp_server->SendIndirectConnectionRequest(i_user, ip_type);
    ItemPtr l_indirect = TypeOf("indirect_connect_to_peer_request")->GetItem(Value(l_token));
    l_request += l_indirect;
    SetValue(l_indirect, "send_time", NowText());
    l_indirect += l_user;
    l_indirect += l_type;
    Stamp(l_indirect);

    if (!ConnectDirectly(l_request, l_user, l_type))
    {
        PeerLog(2, QStringLiteral("User address not found, requesting address"), l_user);
        gp_server->GetUserAddress(i_user);
        SetValue(l_request, "connect_to_peer_request_status", "getting_address");
    }
}

void PeerMessenger::RequestFileConnectionToUser(std::string i_user)
{
    ConnectToUser(i_user, "F");
}

void PeerMessenger::RequestDNetConnection(std::string i_user)
{
    ConnectToUser(i_user, "D");
}

int PeerMessenger::GetUserPort(ItemPtr i_user, bool& i_obfuscated)
{
    const int l_obfuscatedPort = i_user["user_obfuscated_port"].AsInt();
    i_obfuscated = l_obfuscatedPort != 0;
    return i_obfuscated ? l_obfuscatedPort : i_user["user_port"].AsInt();
}

QTcpSocket* PeerMessenger::ConnectDirectly(ItemPtr i_request, ItemPtr i_user, ItemPtr i_type)
{
    // An address or port of 0 is no address: only the indirect way can reach such a user.
    bool l_obfuscated = false;
    const quint16 l_port = static_cast<quint16>(GetUserPort(i_user, l_obfuscated));
    const quint32 l_address = i_user["user_address"].AsUInt();
    if (l_address == 0 || l_port == 0)
        return nullptr;

    QTcpSocket* lp_socket = new QTcpSocket();
    connect(lp_socket, &QTcpSocket::connected, this,
            &PeerMessenger::OnConnectToPeerSocketConnected);
    connect(lp_socket, &QTcpSocket::errorOccurred, this,
            &PeerMessenger::OnConnectToPeerSocketError);
    ItemPtr l_socketItem = TypeOf("connect_to_peer_request_socket")->GetItem(Value(lp_socket));
    SetValue(l_socketItem, "socket_creation_time", NowText());
    l_socketItem += i_user;
    l_socketItem += i_type;
    if (l_obfuscated)
        l_socketItem.NewItem("is_obfuscated");
    Stamp(l_socketItem);
    SetValue(i_request, "connect_to_peer_request_status", "connecting");
    i_request += l_socketItem;
    // Items first: a failure reported at once finds them.
    lp_socket->connectToHost(QHostAddress(l_address), l_port, QIODevice::ReadWrite);
    return lp_socket;
}

void PeerMessenger::OnUserAddress(Item* ip_user)
{
    ItemPtr l_user(ip_user);
    if (!l_user.IsConnected("connect_to_peer_request"))
        return;
    ItemSet l_waiting;
    if (ItemPtr l_status = TypeOf("connect_to_peer_request_status")->HasItem("getting_address"))
        l_waiting = d.GetItems(l_user, l_status, "connect_to_peer_request");
    PeerLog(1, QStringLiteral("User %1 address arrived").arg(LoggedName(l_user.AsString())),
            l_user);
    for (Item* lp_request : l_waiting)
    {
        ItemPtr l_request(lp_request);
        ItemPtr l_type = l_request["peer_connection_type"];
        PeerLog(2,
                QStringLiteral("Attempting direct connection of type %1")
                    .arg(LoggedText(FromUtf8(l_type.AsString()))),
                l_user);
        if (!ConnectDirectly(l_request, l_user, l_type))
            PeerLog(2,
                    QStringLiteral("No usable address for the user, waiting for the indirect "
                                   "request"),
                    l_user);
    }
}

void PeerMessenger::OnUserEndpointChanged(ConnectionInfo& i_info)
{
    // An obfuscated port belongs to the address it came with: a new address or port that comes
    // without one (a distributed-network candidate) must not reuse the old one. Senders that
    // know the obfuscated port set it after the address and port.
    Type* lp_userType = TypeOf("user");
    ItemPtr l_user = i_info.first->GetType() == lp_userType ? i_info.first : i_info.second;
    if (l_user.IsConnected("user_obfuscated_port"))
        l_user.Disconnect("user_obfuscated_port");
}

void PeerMessenger::OnConnectToPeerSocketConnected()
{
    QTcpSocket* lp_socket = qobject_cast<QTcpSocket*>(sender());
    if (!lp_socket)
        return;
    lp_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    ItemPtr l_item = SocketItem("connect_to_peer_request_socket", lp_socket);
    if (!l_item)
    {
        lp_socket->disconnect(this);
        lp_socket->close();
        lp_socket->deleteLater();
        return;
    }
    const bool l_obfuscated = HasFlag(l_item, "is_obfuscated");
    const std::string l_user = l_item["user"].AsString();
    const std::string l_type = l_item["peer_connection_type"].AsString();
    PeerLog(
        1,
        QStringLiteral("Direct %1connection of type %2 to user %3 successful")
            .arg(ObfuscatedWord(l_obfuscated), LoggedText(FromUtf8(l_type)), LoggedName(l_user)),
        User(l_user));

    MemStream l_first;
    l_first.Write(PeerInitCode::PeerInit);
    l_first.Write(SettingValue("username").AsString());
    l_first.Write(l_type);
    l_first.Write(noConnectionToken);
    SendMessage(lp_socket, l_first, l_obfuscated);
    QObject::disconnect(lp_socket, &QTcpSocket::errorOccurred, nullptr, nullptr);

    ItemPtr l_request = l_item["connect_to_peer_request"];
    l_item.Remove();
    if (l_request)
        DisposeOfPeerConnectionRequest(l_request);

    if (l_type == "P")
    {
        connect(lp_socket, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
        connect(lp_socket, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnSocketError);
        connect(lp_socket, &QTcpSocket::disconnected, this, &PeerMessenger::OnSocketClosed);
        AddPeerSocketItem(lp_socket, l_user, l_obfuscated);
        SendUnsentMessages(l_user);
    }
    else if (l_type == "F")
        emit FileConnectionAccepted(l_user, lp_socket);
    else
        emit DNetConnectionAccepted(l_user, lp_socket);
}

void PeerMessenger::OnConnectToPeerSocketError(QAbstractSocket::SocketError)
{
    QTcpSocket* lp_socket = qobject_cast<QTcpSocket*>(sender());
    if (!lp_socket)
        return;
    ItemPtr l_item = SocketItem("connect_to_peer_request_socket", lp_socket);
    lp_socket->disconnect();
    lp_socket->close();
    lp_socket->deleteLater();
    if (!l_item)
        return;
    const std::string l_user = l_item["user"].AsString();
    PeerLog(1,
            QStringLiteral("Direct connection of type %1 to user %2 failed")
                .arg(LoggedText(FromUtf8(l_item["peer_connection_type"].AsString())),
                     LoggedName(l_user)),
            User(l_user));
    ItemPtr l_request = l_item["connect_to_peer_request"];
    l_item.Remove();
    if (l_request)
        InspectPeerConnectionRequest(l_request);
}

void PeerMessenger::OnIndirectPeerConnectionFailure(uint i_req)
{
    ItemPtr l_item = TypeOf("indirect_connect_to_peer_request")->HasItem(Value(i_req));
    if (!l_item)
        return;
    const std::string l_user = l_item["user"].AsString();
    PeerLog(1,
            QStringLiteral("Indirect connection of type %1 to user %2 failed")
                .arg(LoggedText(FromUtf8(l_item["peer_connection_type"].AsString())),
                     LoggedName(l_user)),
            User(l_user));
    ItemPtr l_request = l_item["connect_to_peer_request"];
    l_item.Remove();
    if (l_request)
        InspectPeerConnectionRequest(l_request);
}

void PeerMessenger::InspectPeerConnectionRequest(ItemPtr i_request)
{
    const std::string l_user = i_request["user"].AsString();
    const std::string l_type = i_request["peer_connection_type"].AsString();
    ItemPtr l_userItem = User(l_user);
    PeerLog(1,
            QStringLiteral("Inspecting peer connection request of type %1 to user %2 for possible "
                           "removal.")
                .arg(LoggedText(FromUtf8(l_type)), LoggedName(l_user)),
            l_userItem);
    if (i_request.IsConnected("connect_to_peer_request_socket"))
    {
        PeerLog(2, QStringLiteral("Socket found. Not removing request."), l_userItem);
        return;
    }
    if (i_request.IsConnected("indirect_connect_to_peer_request"))
    {
        PeerLog(2, QStringLiteral("Indirect request found. Not removing request."), l_userItem);
        return;
    }
    PeerLog(2, QStringLiteral("Neither socket nor indirect request found. Removing."), l_userItem);
    const std::uint64_t l_serial = i_request->Serial();
    Item* lp_request = i_request;
    emit ConnectionToUserFailed(l_user, l_type);
    // A receiver may have removed the attempt already; find it among the live ones.
    for (Item* lp_live : TypeOf("connect_to_peer_request")->GetItems())
        if (lp_live == lp_request && lp_live->Serial() == l_serial)
        {
            ItemPtr(lp_live).Remove();
            break;
        }
}

void PeerMessenger::DisposeOfPeerConnectionRequest(ItemPtr i_request)
{
    const std::string l_user = i_request["user"].AsString();
    PeerLog(1,
            QStringLiteral("Disposing of peer connection request of type %1 to user %2")
                .arg(LoggedText(FromUtf8(i_request["peer_connection_type"].AsString())),
                     LoggedName(l_user)),
            User(l_user));
    i_request.Remove();
}

void PeerMessenger::OnPeerConnectionRequest(Item* ip_request)
{
    // The path is complete as soon as the request meets its user when the user has an address
    // from earlier, before the server's message has set the address that it brings: the socket
    // is opened once the message has been handled, with the values it left.
    const std::uint64_t l_serial = ip_request->Serial();
    QMetaObject::invokeMethod(
        this, [this, ip_request, l_serial] { AnswerPeerConnectionRequest(ip_request, l_serial); },
        Qt::QueuedConnection);
}

void PeerMessenger::AnswerPeerConnectionRequest(Item* ip_request, std::uint64_t i_serial)
{
    bool l_live = false;
    for (Item* lp_request : TypeOf("peer_connection_request")->GetItems())
        l_live = l_live || (lp_request == ip_request && lp_request->Serial() == i_serial);
    if (!l_live)
        return;
    ItemPtr l_request(ip_request);
    if (l_request.IsConnected("peer_connection_request_socket"))
        return;
    ItemPtr l_user = l_request["user"];
    const std::string l_name = l_user.AsString();
    bool l_obfuscated = false;
    const quint16 l_port = static_cast<quint16>(GetUserPort(l_user, l_obfuscated));
    const quint32 l_address = l_user["user_address"].AsUInt();
    if (l_address == 0 || l_port == 0)
    {
        // No address to connect to: the requester learns at once that no connection comes.
        PeerLog(1,
                QStringLiteral("Indirect peer connection requested from user %1 without an "
                               "address, reporting failure")
                    .arg(LoggedName(l_name)),
                l_user);
        gp_server->SendCantConnectToPeer(l_request["peer_connection_request_id"].AsUInt(), l_name);
        l_request.Remove();
        return;
    }
    if (l_obfuscated)
        l_request.NewItem("is_obfuscated");

    QTcpSocket* lp_socket = new QTcpSocket();
    connect(lp_socket, &QTcpSocket::connected, this,
            &PeerMessenger::OnIndirectResponseSocketConnected);
    connect(lp_socket, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnSocketError);
    connect(lp_socket, &QTcpSocket::disconnected, this, &PeerMessenger::OnSocketClosed);
    ItemPtr l_socketItem = TypeOf("peer_connection_request_socket")->NewItem(Value(lp_socket));
    l_request += l_socketItem;
    SetValue(l_socketItem, "socket_creation_time", NowText());
    Stamp(l_socketItem);
    lp_socket->connectToHost(QHostAddress(l_address), l_port, QIODevice::ReadWrite);
    PeerLog(1,
            QStringLiteral("Indirect %1peer connection requested from user %2")
                .arg(ObfuscatedWord(l_obfuscated), LoggedName(l_name)),
            l_user);
}

void PeerMessenger::OnIndirectResponseSocketConnected()
{
    QTcpSocket* lp_socket = qobject_cast<QTcpSocket*>(sender());
    if (!lp_socket)
        return;
    lp_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    ItemPtr l_socketItem = SocketItem("peer_connection_request_socket", lp_socket);
    ItemPtr l_request = l_socketItem["peer_connection_request"];
    if (!l_request)
    {
        lp_socket->disconnect(this);
        if (l_socketItem)
            l_socketItem.Remove();
        lp_socket->close();
        lp_socket->deleteLater();
        return;
    }
    const bool l_obfuscated = HasFlag(l_request, "is_obfuscated");
    const std::string l_user = l_request["user"].AsString();
    const std::string l_type = l_request["peer_connection_type"].AsString();

    MemStream l_first;
    l_first.Write(PeerInitCode::PierceFirewall);
    l_first.Write(quint32(l_request["peer_connection_request_id"].AsUInt()));
    SendMessage(lp_socket, l_first, l_obfuscated);
    l_socketItem.Remove();
    PeerLog(
        1,
        QStringLiteral("Response %1connection to indirect request from %2, type %3 opened")
            .arg(ObfuscatedWord(l_obfuscated), LoggedName(l_user), LoggedText(FromUtf8(l_type))),
        User(l_user));
    l_request.Remove();

    if (l_type == "P")
    {
        connect(lp_socket, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
        AddPeerSocketItem(lp_socket, l_user, l_obfuscated);
        SendUnsentMessages(l_user);
    }
    else if (l_type == "F")
    {
        connect(lp_socket, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyToRead);
        SocketBufferInfo& l_info = m_socketBufferInfo[lp_socket];
        l_info.m_readState = ReadState::Token;
        l_info.m_user = l_user;
        l_info.m_awaitingSince = SteadyMilliseconds();
    }
    else if (l_type == "D")
        emit DNetConnectionRequested(l_user, lp_socket);
    else
    {
        PeerLog(1, QStringLiteral("Unknown connection type %1 requested by user %2, closing")
                       .arg(LoggedText(FromUtf8(l_type)), LoggedName(l_user)));
        DisposeOfSocket(lp_socket);
    }
}

// Peer messages.

QString PeerMessenger::MessageCodeToString(int i_code)
{
    static const std::unordered_map<int, const char*> l_names = {
        {PeerMessageCode::Say, "PM_SAY"},
        {PeerMessageCode::GetSharedFileList, "PM_GET_SHARED_FILE_LIST"},
        {PeerMessageCode::SharedFileList, "PM_SHARED_FILE_LIST"},
        {PeerMessageCode::FileSearchRequest, "PM_FILE_SEARCH_REQUEST"},
        {PeerMessageCode::FileSearchResult, "PM_FILE_SEARCH_RESULT"},
        {PeerMessageCode::InviteUserToRoom, "PM_INVITE_USER_TO_ROOM"},
        {PeerMessageCode::CancelledQueuedTransfer, "PM_CANCELLED_QUEUED_TRANSFER"},
        {PeerMessageCode::UserInfoRequest, "PM_USER_INFO_REQUEST"},
        {PeerMessageCode::UserInfoReply, "PM_USER_INFO_REPLY"},
        {PeerMessageCode::SendConnectToken, "PM_SEND_CONNECT_TOKEN"},
        {PeerMessageCode::MoveDownloadToTop, "PM_MOVE_DOWNLOAD_TO_TOP"},
        {PeerMessageCode::GetSharedFilesInFolder, "PM_GET_SHARED_FILES_IN_FOLDER"},
        {PeerMessageCode::SharedFilesInFolder, "PM_SHARED_FILES_IN_FOLDER"},
        {PeerMessageCode::TransferRequest, "PM_TRANSFER_REQUEST"},
        {PeerMessageCode::TransferResponse, "PM_TRANSFER_RESPONSE"},
        {PeerMessageCode::PlaceholdUpload, "PM_PLACEHOLD_UPLOAD"},
        {PeerMessageCode::QueueUpload, "PM_QUEUE_UPLOAD"},
        {PeerMessageCode::UploadPlaceInLine, "PM_UPLOAD_PLACE_IN_LINE"},
        {PeerMessageCode::UploadFailed, "PM_UPLOAD_FAILED"},
        {PeerMessageCode::ExactFileSearchRequest, "PM_EXACT_FILE_SEARCH_REQUEST"},
        {PeerMessageCode::QueuedDownloads, "PM_QUEUED_DOWNLOADS"},
        {PeerMessageCode::IndirectFileSearchRequest, "PM_INDIRECT_FILE_SEARCH_REQUEST"},
        {PeerMessageCode::UploadDenied, "PM_UPLOAD_DENIED"},
        {PeerMessageCode::UploadPlaceInLineRequest, "PM_UPLOAD_PLACE_IN_LINE_REQUEST"},
        {PeerMessageCode::Nothing, "PM_NOTHING"},
    };
    const auto l_found = l_names.find(i_code);
    if (l_found != l_names.end())
        return QString::fromLatin1(l_found->second);
    return QString::number(i_code) + QStringLiteral(" (unknown)");
}

void PeerMessenger::SendMessage(std::string i_user, MemStream& i_message)
{
    ItemPtr l_user = User(i_user);
    PeerLog(1,
            QStringLiteral("Send %1 message to user %2")
                .arg(MessageCodeToString(CodeOf(i_message)), LoggedName(i_user)),
            l_user);
    const ItemSet l_sockets = l_user.GetItems("peer_socket");
    if (l_sockets.empty())
    {
        PeerLog(
            2, QStringLiteral("Did not find messaging connection to user, queueing unsent message"),
            l_user);
        QueueMessage(i_user, i_message);
        ConnectToUser(i_user, "P");
        return;
    }

    ItemPtr l_chosen;
    if (l_sockets.size() == 1)
    {
        PeerLog(2, QStringLiteral("Found one existing messaging connection to user"), l_user);
        l_chosen = l_sockets.front();
    }
    else
    {
        PeerLog(2,
                QStringLiteral("Found %1 existing messaging connections to user, picking latest")
                    .arg(l_sockets.size()),
                l_user);
        QDateTime l_latest;
        for (Item* lp_socket : l_sockets)
        {
            const std::string l_text = ItemPtr(lp_socket)["connection_open_time"].AsString();
            const QDateTime l_opened = QDateTime::fromString(FromUtf8(l_text), Qt::TextDate);
            if (!l_chosen)
            {
                PeerLog(3, QStringLiteral("First connection opened %1").arg(FromUtf8(l_text)),
                        l_user);
                l_chosen = lp_socket;
                l_latest = l_opened;
            }
            else if (l_opened > l_latest)
            {
                PeerLog(
                    3,
                    QStringLiteral("Found connection opened %1, exchanging").arg(FromUtf8(l_text)),
                    l_user);
                l_chosen = lp_socket;
                l_latest = l_opened;
            }
        }
    }
    SendMessage(l_chosen.AsPtr<QTcpSocket>(), i_message, HasFlag(l_chosen, "is_obfuscated"));
}

void PeerMessenger::QueueMessage(const std::string& i_user, MemStream& i_message)
{
    ItemPtr l_user = User(i_user);
    qint64 l_count = 0;
    qint64 l_bytes = i_message.GetWriteIndex();
    if (const ItemSet* lp_waiting = l_user->ConnectedItems(TypeOf("unsent_message")))
        for (Item* lp_waitingMessage : *lp_waiting)
        {
            ++l_count;
            l_bytes += ItemPtr(lp_waitingMessage).AsPtr<MemStream>()->GetWriteIndex();
        }
    if (l_count >= m_limits.m_unsentMessagesPerUser ||
        l_bytes > m_limits.m_unsentMessageBytesPerUser)
    {
        PeerLog(1,
                QStringLiteral("Too many messages wait for user %1, dropping %2 message")
                    .arg(LoggedName(i_user), MessageCodeToString(CodeOf(i_message))),
                l_user);
        return;
    }
    MemStream* lp_copy = new MemStream(i_message);
    ItemPtr l_item = TypeOf("unsent_message")->GetItem(Value(lp_copy));
    l_item += l_user;
    SetValue(l_item, "send_order", Value(m_sendOrderCounter++));
    SetValue(l_item, "send_time", NowText());
    Stamp(l_item);
}

void PeerMessenger::SendUnsentMessages(std::string i_user)
{
    ItemPtr l_user = TypeOf("user")->HasItem(i_user);
    if (!l_user)
        return;
    const ItemSet l_sockets = l_user.GetItems("peer_socket");
    if (l_sockets.empty())
        return;
    const ItemSet l_unsent = l_user.GetItems("unsent_message");
    if (l_unsent.empty())
        return;
    ItemPtr l_socket = l_sockets.front();
    const std::list<Item*> l_ordered = l_unsent.SortNumericBy("send_order", true);
    PeerLog(1,
            QStringLiteral("Sending %1 pending peer messages to user %2")
                .arg(QString::number(l_ordered.size()), LoggedName(i_user)),
            l_user);
    QTcpSocket* lp_socket = l_socket.AsPtr<QTcpSocket>();
    const bool l_obfuscated = HasFlag(l_socket, "is_obfuscated");
    for (Item* lp_item : l_ordered)
    {
        ItemPtr l_item(lp_item);
        if (!SendMessage(lp_socket, *l_item.AsPtr<MemStream>(), l_obfuscated))
            break;
        RemoveUnsentMessage(l_item);
    }
}

void PeerMessenger::GetUserSharedFiles(std::string i_user)
{
    ForgetShareListRequest(i_user);
    m_awaitedShareLists.push_back(i_user);
    if (qint64(m_awaitedShareLists.size()) > m_limits.m_awaitedShareLists)
    {
        PeerLog(1,
                QStringLiteral("Too many shared file lists awaited, forgetting the one of user %1")
                    .arg(LoggedName(m_awaitedShareLists.front())));
        m_awaitedShareLists.erase(m_awaitedShareLists.begin());
    }
    MemStream l_message = NewMessage(PeerMessageCode::GetSharedFileList);
    SendMessage(i_user, l_message);
}

void PeerMessenger::ForgetShareListRequest(const std::string& i_user)
{
    std::erase(m_awaitedShareLists, i_user);
}

unsigned int PeerMessenger::RequestUpload(std::string i_user, std::string i_file, qint64 i_size)
{
    ItemPtr l_counter = TypeOf("global")->GetItem("transfer_req_counter");
    const unsigned int l_token = l_counter["global_value"].AsUInt();
    l_counter += TypeOf("global_value")->GetItem(Value(l_token + 1));
    MemStream l_message = NewMessage(PeerMessageCode::TransferRequest);
    l_message.Write(TransferDirection::Upload);
    l_message.Write(quint32(l_token));
    l_message.Write(i_file);
    l_message.Write(i_size);
    SendMessage(i_user, l_message);
    return l_token;
}

void PeerMessenger::AcceptTransferRequest(std::string i_user, unsigned int i_req,
                                          bool i_includeSize, qint64 i_size)
{
    MemStream l_message = NewMessage(PeerMessageCode::TransferResponse);
    l_message.Write(quint32(i_req));
    l_message.Write(quint8(1));
    if (i_includeSize)
        l_message.Write(i_size);
    SendMessage(i_user, l_message);
}

void PeerMessenger::DenyTransferRequest(std::string i_user, unsigned int i_req,
                                        std::string i_reason)
{
    MemStream l_message = NewMessage(PeerMessageCode::TransferResponse);
    l_message.Write(quint32(i_req));
    l_message.Write(quint8(0));
    l_message.Write(i_reason);
    SendMessage(i_user, l_message);
}

void PeerMessenger::QueueDownload(std::string i_user, std::string i_file)
{
    MemStream l_message = NewMessage(PeerMessageCode::QueueUpload);
    l_message.Write(i_file);
    SendMessage(i_user, l_message);
}

void PeerMessenger::DenyUpload(std::string i_user, std::string i_file, std::string i_reason)
{
    MemStream l_message = NewMessage(PeerMessageCode::UploadDenied);
    l_message.Write(i_file);
    l_message.Write(i_reason);
    SendMessage(i_user, l_message);
}

bool PeerMessenger::HandlePeerMessage(ItemPtr i_peerSocket, MemStream& i_message)
{
    ItemPtr l_userItem = i_peerSocket["user"];
    const std::string l_user = l_userItem.AsString();
    quint32 l_code = 0;
    if (!i_message.Read(l_code))
    {
        PeerLog(1,
                QStringLiteral("Could not read message code on connection to user %1, disposing "
                               "of socket")
                    .arg(LoggedName(l_user)),
                l_userItem);
        return false;
    }
    MarkActive(i_peerSocket);
    const int l_intCode = static_cast<int>(l_code);
    PeerLog(1,
            QStringLiteral("Received %1 message from user %2")
                .arg(MessageCodeToString(l_intCode), LoggedName(l_user)),
            l_userItem);

    bool l_wellFormed = true;
    switch (l_code)
    {
        case PeerMessageCode::GetSharedFileList:
            if (isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::SharedFileListRequested)))
                emit SharedFileListRequested(l_user);
            else
                PeerLog(1, QStringLiteral("No sharing service, share list request not answered"),
                        l_userItem);
            break;
        case PeerMessageCode::SharedFileList:
            l_wellFormed = HandleSharedFileList(l_user, i_message);
            break;
        case PeerMessageCode::FileSearchResult:
            l_wellFormed = HandleSearchResults(l_user, i_message);
            break;
        case PeerMessageCode::GetSharedFilesInFolder:
        {
            quint32 l_req = 0;
            std::string l_folder;
            l_wellFormed = i_message.Read(l_req) && i_message.Read(l_folder);
            if (l_wellFormed)
                emit SharedFilesInFolderRequested(l_user, l_req, l_folder);
            break;
        }
        case PeerMessageCode::TransferRequest:
        {
            quint32 l_direction = 0;
            quint32 l_req = 0;
            std::string l_file;
            qint64 l_size = 0;
            l_wellFormed = i_message.Read(l_direction) && i_message.Read(l_req) &&
                           i_message.Read(l_file) &&
                           (l_direction != TransferDirection::Upload || i_message.Read(l_size));
            if (l_wellFormed)
                emit FileTransferRequested(l_user, static_cast<int>(l_direction), l_req, l_file,
                                           l_size);
            break;
        }
        case PeerMessageCode::TransferResponse:
        {
            quint32 l_req = 0;
            quint8 l_allowed = 0;
            l_wellFormed = i_message.Read(l_req) && i_message.Read(l_allowed);
            if (!l_wellFormed)
                break;
            if (l_allowed != 0)
            {
                qint64 l_size = 0;
                const bool l_hasSize = i_message.Read(l_size);
                emit FileTransferResponse(l_user, l_req, true, l_hasSize, l_hasSize ? l_size : 0,
                                          std::string());
                break;
            }
            std::string l_reason;
            l_wellFormed = i_message.Read(l_reason);
            if (l_wellFormed)
                emit FileTransferResponse(l_user, l_req, false, false, 0, l_reason);
            break;
        }
        case PeerMessageCode::QueueUpload:
        case PeerMessageCode::UploadFailed:
        {
            std::string l_file;
            l_wellFormed = i_message.Read(l_file);
            if (l_wellFormed && l_code == PeerMessageCode::QueueUpload)
                emit QueueUploadRequested(l_user, l_file);
            else if (l_wellFormed)
                emit UploadFailed(l_user, l_file);
            break;
        }
        case PeerMessageCode::UploadPlaceInLine:
        {
            std::string l_file;
            quint32 l_place = 0;
            l_wellFormed = i_message.Read(l_file) && i_message.Read(l_place);
            if (l_wellFormed)
                emit DownloadPlaceInLine(l_user, l_file, static_cast<int>(l_place));
            break;
        }
        case PeerMessageCode::UploadDenied:
        {
            std::string l_file;
            std::string l_reason;
            l_wellFormed = i_message.Read(l_file) && i_message.Read(l_reason);
            if (l_wellFormed)
                emit UploadDenied(l_user, l_file, l_reason);
            break;
        }
        default:
            break;
    }
    if (!l_wellFormed)
        PeerLog(1,
                QStringLiteral("Malformed %1 message from user %2, closing the connection")
                    .arg(MessageCodeToString(l_intCode), LoggedName(l_user)),
                l_userItem);
    return l_wellFormed;
}

bool PeerMessenger::HandleSharedFileList(const std::string& i_user, MemStream& i_message)
{
    const auto l_awaited =
        std::find(m_awaitedShareLists.begin(), m_awaitedShareLists.end(), i_user);
    if (l_awaited == m_awaitedShareLists.end())
    {
        PeerLog(1,
                QStringLiteral("Shared files of user %1 were not asked for, dropped")
                    .arg(LoggedName(i_user)),
                User(i_user));
        return true;
    }
    m_awaitedShareLists.erase(l_awaited);

    FileInfoMap l_share;
    AttributeTranslationTable l_table;
    try
    {
        InflatingInputStream l_content(i_message.GetReadBuffer(), i_message.GetPendingReadLength(),
                                       MaxShareListLength);
        QString l_refusal;
        switch (ReadShareList(l_content, l_share, m_limits))
        {
            case ShareListRead::Malformed:
                return false;
            case ShareListRead::TooManyFiles:
                l_refusal = QStringLiteral("are more than %1 files").arg(MaxShareListFiles);
                break;
            case ShareListRead::FoldersTooDeep:
                l_refusal =
                    QStringLiteral("have folders more than %1 deep").arg(m_limits.m_shareListDepth);
                break;
            case ShareListRead::FolderPathsTooLong:
                l_refusal = QStringLiteral("have folder paths of more than %1 bytes")
                                .arg(m_limits.m_shareListPathBytes);
                break;
            case ShareListRead::Whole:
                break;
        }
        if (!l_refusal.isEmpty())
        {
            PeerLog(1,
                    QStringLiteral("Shared files of user %1 %2, dropped")
                        .arg(LoggedName(i_user), l_refusal),
                    User(i_user));
            return true;
        }
        if (!l_content.Read(l_table))
            l_table.clear();
        if (!l_content.Finish())
            return false;
    }
    catch (const std::bad_alloc&)
    {
        PeerLog(1, QStringLiteral("Out of memory reading the shared files of user %1, dropped")
                       .arg(LoggedName(i_user)));
        return true;
    }
    emit UserShare(i_user, l_share, l_table);
    return true;
}

bool PeerMessenger::HandleSearchResults(const std::string& i_user, MemStream& i_message)
{
    quint32 l_token = 0;
    std::list<FileInfo> l_files;
    quint8 l_freeSlot = 0;
    quint32 l_speed = 0;
    quint32 l_queueLength = 0;
    ItemPtr l_request;
    try
    {
        InflatingInputStream l_content(i_message.GetReadBuffer(), i_message.GetPendingReadLength(),
                                       MaxSearchResultsLength);
        std::string l_sender;
        if (!l_content.Read(l_sender) || l_sender != i_user || !l_content.Read(l_token))
            return false;
        l_request = TypeOf("search_request")->HasItem(Value(l_token));
        if (!l_request)
            return l_content.Finish();
        if (!l_content.Read(l_files))
            return false;
        if (l_content.Read(l_freeSlot) && l_content.Read(l_speed))
            l_content.Read(l_queueLength);
        AttributeTranslationTable l_unused;
        l_content.Read(l_unused);
        if (!l_content.Finish())
            return false;
    }
    catch (const std::bad_alloc&)
    {
        PeerLog(1, QStringLiteral("Out of memory reading search results of user %1, dropped")
                       .arg(LoggedName(i_user)));
        return true;
    }

    ItemPtr l_user = User(i_user);
    Type* lp_resultType = TypeOf("search_result");
    Type* lp_nameType = TypeOf("search_result_file_name");
    Type* lp_folderType = TypeOf("search_result_file_folder");
    // Whether this user already reported a file of that folder and name, for any search. Files of
    // this message are not connected to the user yet, so the answer for a pair cannot change
    // while the message is read: it is asked once per pair.
    const auto l_alreadyReported = [&](const std::string& i_name, const std::string& i_folder)
    {
        ItemPtr l_name = lp_nameType->HasItem(i_name);
        ItemPtr l_folder = lp_folderType->HasItem(i_folder);
        if (!l_name || !l_folder)
            return false;
        const ItemSet* lp_byName = l_name->ConnectedItems(lp_resultType);
        const ItemSet* lp_byFolder = l_folder->ConnectedItems(lp_resultType);
        if (!lp_byName || !lp_byFolder)
            return false;
        if (lp_byFolder->size() < lp_byName->size())
            std::swap(lp_byName, lp_byFolder);
        for (Item* lp_result : *lp_byName)
            if (lp_byFolder->contains(lp_result) &&
                ItemPtr(lp_result)["search_results"]["user"] == l_user)
                return true;
        return false;
    };

    SearchTally& l_tally = m_searchTallies[l_request->Serial()];
    const auto l_fromUser = l_tally.m_perUser.find(i_user);
    const qint64 l_room =
        std::min(m_limits.m_resultsPerUser -
                     (l_fromUser == l_tally.m_perUser.end() ? 0 : l_fromUser->second),
                 m_limits.m_resultsPerSearch - l_tally.m_total);
    ItemPtr l_results = TypeOf("search_results")->NewItem();
    std::unordered_set<std::string> l_pairs;
    qint64 l_added = 0;
    bool l_dropped = false;
    for (const FileInfo& l_file : l_files)
    {
        const std::string l_name = GetFileName(l_file.m_name);
        const std::string l_folder = GetFolder(l_file.m_name);
        // An end marker, or a path without a name, is no file.
        if (l_name.empty())
            continue;
        // Names end at their first zero byte, so one cannot hold the separator.
        if (!l_pairs.insert(l_folder + '\0' + l_name).second || l_alreadyReported(l_name, l_folder))
            continue;
        if (l_added >= l_room)
        {
            l_dropped = true;
            break;
        }
        ItemPtr l_result = l_results.NewItem("search_result");
        SetValue(l_result, "search_result_file_name", l_name);
        SetValue(l_result, "search_result_file_folder", l_folder);
        SetValue(l_result, "file_size", Value(static_cast<long long>(l_file.m_size)));
        for (const auto& l_attribute : l_file.m_attributes.m_attributes)
        {
            if (l_attribute.first == AttributeMap::Bitrate)
                SetValue(l_result, "bitrate", Value(l_attribute.second));
            else if (l_attribute.first == AttributeMap::LengthSeconds)
                SetValue(l_result, "length_seconds", Value(l_attribute.second));
            else if (l_attribute.first == AttributeMap::VariableBitrate)
                SetValue(l_result, "bitrate_mode", l_attribute.second != 0 ? "vbr" : "cbr");
        }
        ++l_added;
    }
    if (l_dropped && l_tally.m_logged.insert(i_user).second)
        PeerLog(1,
                QStringLiteral("User %1 sent more results for search %2 than are kept, the rest "
                               "dropped")
                    .arg(LoggedName(i_user), QString::number(l_token)),
                l_user);
    if (l_added > 0)
    {
        l_tally.m_perUser[i_user] += l_added;
        l_tally.m_total += l_added;
    }
    if (l_added == 0)
    {
        l_results.Remove();
        return true;
    }
    l_request += l_results;
    l_results += l_user;
    SetValue(l_results, "search_results_user_available", l_freeSlot != 0 ? "yes" : "no");
    SetValue(l_results, "search_results_user_speed", Value(l_speed));
    SetValue(l_results, "search_results_uploads_in_queue", Value(l_queueLength));
    emit SearchResults(l_results);
    return true;
}

// Activity and expiry.

void PeerMessenger::OnPeerSocketItemAdded(Item* ip_item)
{
    QDateTime* lp_time = new QDateTime(QDateTime::currentDateTime());
    ItemPtr(ip_item) += TypeOf("last_activity_time")->GetItem(Value(lp_time));
    Stamp(ip_item);
}

void PeerMessenger::OnPeerSocketItemRemoved(Item* ip_item)
{
    m_startTimes.erase(ip_item->Serial());
    ItemPtr l_time = ItemPtr(ip_item)["last_activity_time"];
    if (!l_time)
        return;
    QDateTime* lp_time = l_time.AsPtr<QDateTime>();
    l_time.Remove();
    delete lp_time;
}

void PeerMessenger::OnSearchRequestRemoved(Item* ip_item)
{
    m_searchTallies.erase(ip_item->Serial());
}

void PeerMessenger::OnTimedItemRemoved(Item* ip_item)
{
    m_startTimes.erase(ip_item->Serial());
}

void PeerMessenger::MarkActive(ItemPtr i_peerSocket)
{
    if (QDateTime* lp_time = i_peerSocket["last_activity_time"].AsPtr<QDateTime>())
        *lp_time = QDateTime::currentDateTime();
    Stamp(i_peerSocket);
}

void PeerMessenger::SetLimits(const Limits& i_limits)
{
    m_limits = i_limits;
}

const PeerMessenger::Limits& PeerMessenger::GetLimits() const
{
    return m_limits;
}

void PeerMessenger::SetListeningAddress(const QHostAddress& i_address)
{
    m_listeningAddress = i_address;
}

quint16 PeerMessenger::ListeningPort() const
{
    return m_listeningServer.serverPort();
}

quint16 PeerMessenger::ObfuscatedListeningPort() const
{
    return m_obfuscatedListeningServer.serverPort();
}

qint64 PeerMessenger::SteadyMilliseconds() const
{
    return m_steadyClock();
}

void PeerMessenger::SetSteadyClock(std::function<qint64()> i_clock)
{
    if (i_clock)
        m_steadyClock = std::move(i_clock);
    else
        m_steadyClock = [this] { return m_elapsed.elapsed(); };
}

void PeerMessenger::Stamp(ItemPtr i_item)
{
    m_startTimes[i_item->Serial()] = SteadyMilliseconds();
}

qint64 PeerMessenger::AgeOf(ItemPtr i_item, qint64 i_now)
{
    // An item that this service did not stamp starts its clock when first seen.
    const auto l_found = m_startTimes.try_emplace(i_item->Serial(), i_now).first;
    return i_now - l_found->second;
}

void PeerMessenger::ForEachExpired(const char* ip_type, qint64 i_limit, qint64 i_now,
                                   const std::function<void(ItemPtr)>& i_action)
{
    // Each item is looked up again before it is acted on, so that items removed meanwhile, by
    // this pass or by a receiver of its signals, are skipped, and a new item under the same
    // value is not taken for the old one.
    Type* lp_type = TypeOf(ip_type);
    std::vector<std::pair<std::string, std::uint64_t>> l_expired;
    for (Item* lp_item : lp_type->GetItems())
        if (AgeOf(lp_item, i_now) >= i_limit)
            l_expired.emplace_back(lp_item->Value(), lp_item->Serial());
    for (const auto& [l_value, l_serial] : l_expired)
        if (ItemPtr l_item = lp_type->HasItem(l_value); l_item && l_item->Serial() == l_serial)
            i_action(l_item);
}

void PeerMessenger::EveryHalfMinute()
{
    for (auto l_entry = m_connectionsByAddress.begin(); l_entry != m_connectionsByAddress.end();)
    {
        std::erase_if(l_entry->second,
                      [](const QPointer<QTcpSocket>& i_socket) { return i_socket.isNull(); });
        l_entry = l_entry->second.empty() ? m_connectionsByAddress.erase(l_entry) : ++l_entry;
    }
    const qint64 l_now = SteadyMilliseconds();
    ExpireUnsentMessages(l_now);
    ExpireIndirectRequests(l_now);
    ExpireDirectAttempts(l_now);
    ExpireRelayedRequestSockets(l_now);
    ExpireIdleConnections(l_now);
    ExpireSilentSockets(l_now);
}

void PeerMessenger::ExpireUnsentMessages(qint64 i_now)
{
    ForEachExpired("unsent_message", unsentMessageLimit, i_now, RemoveUnsentMessage);
}

void PeerMessenger::ExpireIndirectRequests(qint64 i_now)
{
    ForEachExpired(
        "indirect_connect_to_peer_request", attemptLimit, i_now,
        [&](ItemPtr l_item)
        {
            const std::string l_user = l_item["user"].AsString();
            PeerLog(
                1,
                QStringLiteral("Indirect connection request of type %1 to %2 expired, removing.")
                    .arg(LoggedText(FromUtf8(l_item["peer_connection_type"].AsString())),
                         LoggedName(l_user)),
                User(l_user));
            ItemPtr l_request = l_item["connect_to_peer_request"];
            l_item.Remove();
            if (l_request)
                InspectPeerConnectionRequest(l_request);
        });
}

void PeerMessenger::ExpireDirectAttempts(qint64 i_now)
{
    ForEachExpired(
        "connect_to_peer_request_socket", attemptLimit, i_now,
        [&](ItemPtr l_item)
        {
            ItemPtr l_request = l_item["connect_to_peer_request"];
            const std::string l_user = l_item["user"].AsString();
            PeerLog(1,
                    QStringLiteral("Direct connection attempt of type %1 to %2 timed out, closing.")
                        .arg(LoggedText(FromUtf8(l_item["peer_connection_type"].AsString())),
                             LoggedName(l_user)),
                    User(l_user));
            QTcpSocket* lp_socket = l_item.AsPtr<QTcpSocket>();
            l_item.Remove();
            lp_socket->disconnect(this);
            lp_socket->close();
            lp_socket->deleteLater();
            if (l_request)
                InspectPeerConnectionRequest(l_request);
        });
}

void PeerMessenger::ExpireRelayedRequestSockets(qint64 i_now)
{
    ForEachExpired(
        "peer_connection_request_socket", attemptLimit, i_now,
        [&](ItemPtr l_item)
        {
            ItemPtr l_request = l_item["peer_connection_request"];
            const std::string l_user = l_request["user"].AsString();
            PeerLog(
                1,
                QStringLiteral("Indirect connection attempt of type %1 to %2 timed out, closing.")
                    .arg(LoggedText(FromUtf8(l_request["peer_connection_type"].AsString())),
                         LoggedName(l_user)),
                User(l_user));
            // A socket closed while it connects reports nothing: it is disposed of now, which also
            // tells the server that no connection comes.
            DisposeOfSocket(l_item.AsPtr<QTcpSocket>());
        });
}

void PeerMessenger::ExpireIdleConnections(qint64 i_now)
{
    ForEachExpired("peer_socket", idleConnectionLimit, i_now,
                   [&](ItemPtr l_item)
                   {
                       const std::string l_user = l_item["user"].AsString();
                       PeerLog(1,
                               QStringLiteral("Peer connection to user %1 expired, closing.")
                                   .arg(LoggedName(l_user)),
                               User(l_user));
                       l_item.AsPtr<QTcpSocket>()->close();
                   });
}

void PeerMessenger::ExpireSilentSockets(qint64 i_now)
{
    ForEachExpired(
        "uninitialized_socket", attemptLimit, i_now,
        [&](ItemPtr l_item)
        {
            PeerLog(1,
                    QStringLiteral("New peer connection sent no first message in time, closing."));
            DisposeOfSocket(l_item.AsPtr<QTcpSocket>());
        });

    std::vector<QTcpSocket*> l_silent;
    for (const auto& l_entry : m_socketBufferInfo)
        if (l_entry.second.m_readState == ReadState::Token &&
            i_now - l_entry.second.m_awaitingSince >= attemptLimit)
            l_silent.push_back(l_entry.first);
    for (QTcpSocket* lp_socket : l_silent)
    {
        const auto l_entry = m_socketBufferInfo.find(lp_socket);
        if (l_entry == m_socketBufferInfo.end())
            continue;
        const std::string l_user = l_entry->second.m_user;
        PeerLog(1,
                QStringLiteral("File connection from user %1 sent no transfer token in time, "
                               "closing.")
                    .arg(LoggedName(l_user)),
                User(l_user));
        DisposeOfSocket(lp_socket);
    }
}
