#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>

#include <map>

class QTcpServer;
class QTcpSocket;

// A small central server for tests and for trying the client on one machine. It listens on
// 127.0.0.1 only and serves many clients at once: it logs them in, answers user status, address
// and statistics requests, keeps watches of users (also of names not logged in yet, as a server
// with stored accounts does) and tells the watchers when they come and go, keeps rooms with their
// chat, delivers and re-delivers private messages until they are acknowledged, relays connection
// requests and their failures, and passes every search on to the other clients as an embedded
// distributed search. It encodes and decodes with WireWriter and WireReader, never with the
// client's own streams.
//
// Tests can also script it: send any frame or raw bytes to one connection, whole, in several
// pieces with the event loop running between them, or several frames in one write; drop a
// connection; and read back every frame each connection sent.
class TestServer : public QObject
{
    Q_OBJECT

public:
    // One frame as a client sent it: its code and the fields after the code.
    struct ReceivedFrame
    {
        quint32 code = 0;
        QByteArray body;
    };

    static constexpr quint16 kDefaultPort = 2242;
    // Longer frames, and frames too short to hold a code, end the connection.
    static constexpr quint32 kMaxFrameLength = 16 * 1024 * 1024;
    // Status sent for a logged-in user; 0 is offline.
    static constexpr qint32 kStatusOnline = 2;

    explicit TestServer(QObject* ip_parent = nullptr);
    ~TestServer() override;

    // Listens on 127.0.0.1 at the port (0: any free port).
    bool Listen(quint16 i_port = 0);
    quint16 Port() const;

    // A user whose password is set can log in only with it; otherwise the first login sets it.
    void SetPassword(const QByteArray& i_user, const QByteArray& i_password);
    // Every login of the user is refused with the reason.
    void RefuseLogin(const QByteArray& i_user, const QByteArray& i_reason);
    void SetUserCountry(const QByteArray& i_user, const QByteArray& i_country);
    // No account has the name: a watch of it is answered "no such user" and not kept.
    void SetNoSuchUser(const QByteArray& i_user);
    // Values sent after each login (codes 83, 84 and 104).
    void SetParentMinSpeed(qint32 i_speed);
    void SetParentSpeedRatio(qint32 i_ratio);
    void SetWishListInterval(quint32 i_seconds);
    // When off, frames are only recorded and announced: the test answers them itself.
    void SetAutomaticReplies(bool i_enabled);
    bool AutomaticReplies() const { return m_automaticReplies; }
    // When off, received frames are announced but not kept (for a long-running server).
    void SetRecording(bool i_enabled);

    // Sends to one open connection; everything sent to a connection leaves in call order,
    // including pieces still waiting for their turn.
    void SendFrame(int i_connection, quint32 i_code, const QByteArray& i_fields);
    // Several frames in one write.
    void SendFrames(int i_connection, const QList<QPair<quint32, QByteArray>>& i_frames);
    // One frame cut into pieces of the given sizes (the rest, if any, is one more piece),
    // written i_intervalMs apart with the event loop running between; PiecesSent follows the
    // last piece.
    void SendFrameInPieces(int i_connection, quint32 i_code, const QByteArray& i_fields,
                           const QList<int>& i_pieceSizes, int i_intervalMs = 20);
    void SendRaw(int i_connection, const QByteArray& i_bytes);
    // Handles a frame as if the connection had sent it: a test stands in for that client's user.
    void ActAs(int i_connection, quint32 i_code, const QByteArray& i_fields);
    void SendRawInPieces(int i_connection, const QByteArray& i_bytes,
                         const QList<int>& i_pieceSizes, int i_intervalMs = 20);
    // Closes the connection at once, as a lost network would; pending pieces are discarded.
    void DropConnection(int i_connection);

    // Open connections, in the order they came.
    QList<int> Connections() const;
    // The open connection logged in as the user, or 0.
    int ConnectionOf(const QByteArray& i_user) const;
    QByteArray UserOf(int i_connection) const;
    bool IsLoggedIn(int i_connection) const;
    // Every frame the connection sent (also after it closed, while recording is on).
    QList<ReceivedFrame> ReceivedFrames(int i_connection) const;
    QList<ReceivedFrame> ReceivedFrames(int i_connection, quint32 i_code) const;
    void ClearReceivedFrames(int i_connection);
    // Members of a room in the order they joined.
    QList<QByteArray> RoomMembers(const QByteArray& i_room) const;

signals:
    void ClientConnected(int i_connection);
    void ClientDisconnected(int i_connection);
    void LoggedIn(int i_connection, const QByteArray& i_user);
    void LoginRefused(int i_connection, const QByteArray& i_user, const QByteArray& i_reason);
    void FrameReceived(int i_connection, quint32 i_code, const QByteArray& i_body);
    void PiecesSent(int i_connection);

private slots:
    void OnNewConnection();

private:
    struct Outgoing
    {
        QByteArray bytes;
        int delayMs = 0;
        bool endsPieces = false;
    };

    struct Connection
    {
        QTcpSocket* socket = nullptr;
        QByteArray input;
        QList<ReceivedFrame> frames;
        QList<Outgoing> outgoing;
        bool pumpScheduled = false;
        QByteArray user;
        bool loggedIn = false;
        quint32 address = 0;
        qint32 port = 0;
        qint32 obfuscationType = 0;
        qint32 obfuscatedPort = 0;
        QSet<QByteArray> rooms;
        QSet<QByteArray> watching;
    };

    struct User
    {
        int connection = 0;
        bool hasPassword = false;
        QByteArray password;
        QByteArray refusal;
        QByteArray country;
        quint32 speed = 0;
        quint32 files = 0;
        quint32 folders = 0;
    };

    struct Room
    {
        QList<QByteArray> members;
        bool isPrivate = false;
        QByteArray owner;
    };

    struct PrivateMessage
    {
        quint32 id = 0;
        quint32 time = 0;
        QByteArray sender;
        QByteArray text;
    };

    Connection* FindOpen(int i_connection);
    const Connection* FindOpen(int i_connection) const;
    void OnReadyRead(int i_connection);
    void CloseConnection(int i_connection);
    void Enqueue(int i_connection, const QList<Outgoing>& i_pieces);
    void PumpOutgoing(int i_connection);
    void SendToUser(const QByteArray& i_user, quint32 i_code, const QByteArray& i_fields);

    void HandleFrame(int i_connection, quint32 i_code, const QByteArray& i_fields);
    void HandleLogin(int i_connection, const QByteArray& i_fields);
    void HandleSetWaitPort(int i_connection, const QByteArray& i_fields);
    void HandleGetUserAddress(int i_connection, const QByteArray& i_fields);
    void HandleWatchUser(int i_connection, const QByteArray& i_fields);
    void HandleUnwatchUser(int i_connection, const QByteArray& i_fields);
    void HandleGetUserStatus(int i_connection, const QByteArray& i_fields);
    void HandleRoomChat(int i_connection, const QByteArray& i_fields);
    void HandleEnterRoom(int i_connection, const QByteArray& i_fields);
    void HandleLeaveRoom(int i_connection, const QByteArray& i_fields);
    void HandleConnectionRequest(int i_connection, const QByteArray& i_fields);
    void HandlePrivateMessage(int i_connection, const QByteArray& i_fields);
    void HandleAcknowledgement(int i_connection, const QByteArray& i_fields);
    void HandleSearch(int i_connection, const QByteArray& i_fields);
    void HandleSharedCounts(int i_connection, const QByteArray& i_fields);
    void HandleGetUserStats(int i_connection, const QByteArray& i_fields);
    void HandleRoomListRequest(int i_connection);
    void HandleUploadSpeed(int i_connection, const QByteArray& i_fields);
    void HandleCannotConnect(int i_connection, const QByteArray& i_fields);

    void Refuse(int i_connection, const QByteArray& i_user, const QByteArray& i_reason);
    void SendRoomList(int i_connection);
    void DeliverPrivateMessage(int i_connection, const PrivateMessage& i_message,
                               bool i_spontaneous);
    void RemoveFromRoom(const QByteArray& i_room, const QByteArray& i_user);
    void NotifyWatchers(const QByteArray& i_user, qint32 i_status);
    QByteArray UserStatsFields(const QByteArray& i_user) const;
    qint32 StatusOf(const QByteArray& i_user) const;

    QTcpServer* mp_listener = nullptr;
    int m_lastConnection = 0;
    std::map<int, Connection> m_connections;
    std::map<QByteArray, User> m_users;
    std::map<QByteArray, Room> m_rooms;
    QSet<QByteArray> m_noSuchUsers;
    // Who watches each user's status, by connection.
    std::map<QByteArray, QSet<int>> m_watchers;
    // Private messages not yet acknowledged, by recipient.
    std::map<QByteArray, QList<PrivateMessage>> m_unacknowledged;
    quint32 m_lastMessageId = 0;
    qint32 m_parentMinSpeed = 1;
    qint32 m_parentSpeedRatio = 50;
    quint32 m_wishListInterval = 720;
    bool m_automaticReplies = true;
    bool m_recording = true;
};
