#pragma once

#include "DataLoadedEventHandler.h"
#include "MemStream.h"
#include "TCPAddress.h"
#include "UserStats.h"

#include <QObject>
#include <QString>
#include <QTcpSocket>

#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>

class PortForwarder;

// The one connection to the central server: login, framing, reconnection after a loss, every
// request the client sends it and every message it sends, turned into store items and signals.
class Server : public QObject, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    using ParentList = std::list<std::pair<std::string, TCPAddress>>;

    static constexpr quint16 CentralServerPort = 2242;
    // A frame longer than this, or too short to hold its code, ends the connection.
    static constexpr quint32 MaxFrameLength = 64 * 1024 * 1024;

    // Connects to the central server fixed at build time.
    Server();
    // Connects to another endpoint: only tests and benchmarks, which run their own server.
    Server(const QString& i_host, quint16 i_port);
    ~Server() override;

    // Declares the user, room and user-list vocabulary; once per run, before the data file loads.
    void CreateData();

    void Connect();
    void Disconnect();
    bool IsConnected() const;
    // For tests: the size of the buffer that receives the current frame.
    qint32 ReceiveBufferCapacity() const;
    bool IsAbruptlyDisconnected() const;

    // Frames and writes one body. Only the login may go while the login is pending
    // (i_duringLogin); everything else waits for it and is dropped before it.
    void SendMessage(MemStream& i_message, bool i_duringLogin);
    // One received message, its code already read from i_message.
    void HandleMessage(int i_code, MemStream& i_message);
    void OnConnectedToServer();

    void DataLoaded() override;

    // Requests.
    void SetWaitPort(int i_port, int i_obfuscatedPort);
    void GetUserAddress(std::string i_user);
    void AddUser(std::string i_user);
    // Watches the user: asks once, or again when the last answer was "no such user".
    void TrackUser(std::string i_user);
    void UntrackUser(std::string i_user);
    void GetUserStatus(std::string i_user);
    void SendRoomChat(std::string i_room, std::string i_text);
    void EnterRoom(std::string i_room, bool i_private);
    void LeaveRoom(std::string i_room);
    unsigned int SendIndirectConnectionRequest(std::string i_user, std::string i_type);
    void SendPrivateChat(std::string i_user, std::string i_text);
    unsigned int FileSearch(std::string i_search, bool i_wishListSearch);
    void SendFilesFolders(int i_folders, int i_files);
    void GetUserStats(std::string i_user);
    void GetRoomList();
    void SendDNetHasParent(bool i_hasParent);
    void GetOwnPrivilegesStatus();
    void SendDNetCanParent(bool i_canParent);
    void SendUploadSpeed(int i_speed);
    void SendDNetLevel(int i_level);
    void SendDNetGroupLeader(std::string i_user);
    void SendChildDepth(bool i_hasChildren);
    void AddPrivateRoomMember(std::string i_room, std::string i_user);
    void RemovePrivateRoomMember(std::string i_room, std::string i_user);
    void GiveUpPrivateRoomMembership(std::string i_room);
    void GiveUpPrivateRoom(std::string i_room);
    void EnablePrivateRoomAdd(bool i_enabled);
    void AddPrivateRoomOperator(std::string i_room, std::string i_user);
    void RemovePrivateRoomOperator(std::string i_room, std::string i_user);
    void GetSearchCorrelations(std::string i_search);
    void SendCantConnectToPeer(unsigned int i_token, std::string i_user);

signals:
    void Connecting();
    void ConnectionFailed(std::string i_reason);
    void Connected();
    void Disconnected();
    void SearchRequested(unsigned int i_req, std::string i_search, bool i_wishListSearch);
    void RoomChat(std::string i_room, std::string i_user, std::string i_chat);
    void PrivateChat(std::string i_user, std::string i_chat, time_t i_time, bool i_spontaneous);
    void IndirectPeerConnectionFailure(unsigned int i_req);
    void DNetParentMinSpeed(int i_speed);
    void DNetParentSpeedConnectionRatio(int i_ratio);
    void DNetPossibleParents(Server::ParentList& i_parentList);
    void DNetMessage(MemStream& i_message);
    void DNetDeliveryReport(int i_report);
    void DNetReset();
    void ReceivedUserStats(std::string i_user, UserStats i_stats);
    void WishListWait(unsigned int i_waitPeriod);
    void AddUserResponse(std::string i_user, bool i_added);
    void ReceivedOwnPrivilegesStatus(int i_seconds);
    void SearchCorrelations(std::string i_search);
    void PrivateRoomAddEnabled(bool i_enabled);

public slots:
    void OnConnected();
    void OnSocketError(QAbstractSocket::SocketError i_error);
    void OnSocketReadyToRead();
    void OnSocketClosed();
    void AttemptReconnect();
    void RenewPortMapping();

private:
    void OnDisconnected();
    // A frame the protocol cannot hold: the connection goes as on a socket error.
    void DropConnection(quint32 i_length);
    void ResetReceiveState();
    void AddPortMappings();
    void SendUserMessage(quint32 i_code, const std::string& i_user);

    void OnLoginReply(MemStream& i_message);
    void OnUserAddress(MemStream& i_message);
    void OnWatchReply(MemStream& i_message);
    void OnUserStatus(MemStream& i_message);
    void OnPrivateMessage(MemStream& i_message);
    void OnUserStats(MemStream& i_message);
    void OnPrivilegedUsers(MemStream& i_message);
    void OnPrivilegesStatus(MemStream& i_message);
    void OnRoomChat(MemStream& i_message);
    void OnRoomJoined(MemStream& i_message);
    void OnRoomLeft(MemStream& i_message);
    void OnUserJoinedRoom(MemStream& i_message);
    void OnUserLeftRoom(MemStream& i_message);
    void OnRoomList(MemStream& i_message);
    void OnPrivateRoomUsers(MemStream& i_message, const char* ip_roleType);
    void OnPrivateRoomUserChange(MemStream& i_message, const char* ip_roleType, bool i_add);
    void OnPrivateRoomAdded(MemStream& i_message);
    void OnPrivateRoomRemoved(MemStream& i_message);
    void OnPrivateRoomAddSetting(MemStream& i_message);
    void OnOwnOperatorStatus(MemStream& i_message);
    void OnPeerConnectionRequest(MemStream& i_message);
    void OnPossibleParents(MemStream& i_message);
    void OnSearchCorrelations(MemStream& i_message);

    enum class ConnectionState
    {
        Disconnected,
        // Connecting, or connected and waiting for the answer to the login.
        LoggingIn,
        LoggedIn
    };

    ConnectionState m_state = ConnectionState::Disconnected;
    QTcpSocket m_socket;
    bool m_headerRead = false;
    quint32 m_expectedLength = 0;
    quint32 m_searchToken = 1;
    MemStream m_receiveStream;
    quint32 m_indirectToken = 1;
    bool m_firstLogin = true;
    bool m_userDisconnect = false;
    bool m_abruptLoss = false;

    QString m_host;
    quint16 m_port;
    // Counts the connections begun; a read loop stops when a handler has begun another one.
    quint64 m_connectionSerial = 0;
    // Watched users whose watch was last answered "no such user": the server keeps no watch of
    // them, so the next TrackUser asks again. They stay watched, and are asked at every login.
    std::unordered_set<std::string> m_unknownWatches;
    std::unique_ptr<PortForwarder> mp_portForwarder;
};

extern Server* gp_server;
