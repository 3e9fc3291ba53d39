#pragma once

#include "AttributeTranslationTable.h"
#include "DataHandler.h"
#include "DataLoadedEventHandler.h"
#include "FileInfoMap.h"
#include "ItemPtr.h"
#include "MemStream.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class Item;
struct ConnectionInfo;

// Owns every connection between this client and other users' clients: the two listening ports,
// the first message of each connection, framing and obfuscation, direct and server-relayed
// connection attempts, the peer messages and the expiry of whatever waits too long. Its state
// lives in the store: the vocabulary of sockets, connection attempts, requests relayed by the
// server, messages waiting for a connection and received search results is declared here.
class PeerMessenger : public QObject, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    // The reading state of one socket, from its first bytes until it is handed over or disposed
    // of.
    enum class ReadState
    {
        // The next bytes are a frame's length (after the key, on an obfuscated connection).
        Length,
        Body,
        // An incoming file connection owes its 4-byte transfer token.
        Token,
        // Another service reads the socket from now on.
        HandedOver
    };

    struct SocketBufferInfo
    {
        ReadState m_readState = ReadState::Length;
        quint32 m_length = 0;
        std::string m_user;
        // Grows with the bytes of the frame as they arrive, never beyond its length.
        MemStream m_body;
        bool m_obfuscated = false;
        // The running key after the frame's length.
        quint32 m_key = 0;
        // When the token began to be owed, on the steady clock.
        qint64 m_awaitingSince = 0;
    };

    // A frame body longer than this ends the connection.
    static constexpr quint32 MaxFrameLength = 10485760;
    // The most that a compressed body may inflate to: a share list (a million files with names
    // of a usual length fit), search results.
    static constexpr qint64 MaxShareListLength = 160 * 1024 * 1024;
    static constexpr qint64 MaxSearchResultsLength = 16 * 1024 * 1024;
    // A share list of more files than this is refused whole.
    static constexpr qint64 MaxShareListFiles = 1000000;

    // What other users can make this client hold or do. Tests lower them.
    struct Limits
    {
        // Search results held for one search, from one user and from all users.
        qint64 m_resultsPerUser = 5000;
        qint64 m_resultsPerSearch = 100000;
        // Bytes written to a socket and not yet sent, past which the connection is closed.
        qint64 m_unsentBytes = 16 * 1024 * 1024;
        // Messages waiting for a connection to one user.
        qint64 m_unsentMessagesPerUser = 200;
        qint64 m_unsentMessageBytesPerUser = 16 * 1024 * 1024;
        // Incoming connections from one address, and the descriptors kept free for files.
        int m_connectionsPerAddress = 30;
        int m_descriptorReserve = 64;
    };

    // Results counted per search, so that a cap costs nothing to check.
    struct SearchTally
    {
        qint64 m_total = 0;
        std::unordered_map<std::string, qint64> m_perUser;
        // Users whose surplus has been logged for this search.
        std::unordered_set<std::string> m_logged;
    };

    // Needs the server and its user vocabulary, the timers and the data saver.
    PeerMessenger();
    ~PeerMessenger() override;

    // Applies the port settings and starts listening.
    void DataLoaded() override;

    // Sending. A message is a complete body: its u32 code and its fields.
    bool SendMessage(QTcpSocket* ip_socket, MemStream& i_message, bool i_obfuscate);
    // Over the newest messaging connection to the user, or queued until one exists.
    void SendMessage(std::string i_user, MemStream& i_message);
    void SendUnsentMessages(std::string i_user);
    void GetUserSharedFiles(std::string i_user);
    // Returns the token of the offer.
    unsigned int RequestUpload(std::string i_user, std::string i_file, qint64 i_size);
    void AcceptTransferRequest(std::string i_user, unsigned int i_req, bool i_includeSize,
                               qint64 i_size);
    void DenyTransferRequest(std::string i_user, unsigned int i_req, std::string i_reason);
    void QueueDownload(std::string i_user, std::string i_file);
    void DenyUpload(std::string i_user, std::string i_file, std::string i_reason);

    // One received frame body; false when the connection is to be closed.
    bool HandleMessage(QTcpSocket* ip_socket, MemStream i_message);
    // Closes and forgets a socket.
    void DisposeOfSocket(QTcpSocket* ip_socket);
    static QString MessageCodeToString(int i_code);

    // Connection attempts: one per user and type ("P", "F" or "D"), directly and through the
    // server at once.
    void ConnectToUser(std::string i_user, const char* ip_type);
    void RequestFileConnectionToUser(std::string i_user);
    void RequestDNetConnection(std::string i_user);
    // The user's obfuscated port when it has one, else its plain port.
    int GetUserPort(ItemPtr i_user, bool& i_obfuscated);
    void InspectPeerConnectionRequest(ItemPtr i_request);
    void DisposeOfPeerConnectionRequest(ItemPtr i_request);

    // Store handlers.
    void OnPeerSocketItemAdded(Item* ip_item);
    void OnPeerSocketItemRemoved(Item* ip_item);
    void OnTimedItemRemoved(Item* ip_item);
    void OnUserAddress(Item* ip_user);
    void OnPeerConnectionRequest(Item* ip_request);
    void OnUserEndpointChanged(ConnectionInfo& i_info);
    void OnSearchRequestRemoved(Item* ip_item);

    // The clock that ages for expiry are read from, in milliseconds: a monotonic clock that
    // never goes back, unlike the local time of the text stamps.
    qint64 SteadyMilliseconds() const;

    // For tests: the address to listen on (any IPv4 address unless set), the ports actually
    // bound, a clock of their own in place of the steady clock (set before any connection), and
    // the size of a socket's receive buffer (-1 when the socket has no reading state).
    void SetListeningAddress(const QHostAddress& i_address);
    quint16 ListeningPort() const;
    quint16 ObfuscatedListeningPort() const;
    void SetSteadyClock(std::function<qint64()> i_clock);
    qint64 ReceiveBufferCapacity(QTcpSocket* ip_socket) const;
    void SetLimits(const Limits& i_limits);
    const Limits& GetLimits() const;

signals:
    void SearchResults(ItemPtr i_searchResults);
    void FileConnectionRequested(std::string i_user, QTcpSocket* ip_socket, uint i_requestID);
    void UserShare(std::string i_userName, FileInfoMap& i_share,
                   AttributeTranslationTable& i_translationTable);
    void FileTransferRequested(std::string i_user, int i_direction, uint i_req, std::string i_file,
                               qint64 i_fileSize);
    void QueueUploadRequested(std::string i_user, std::string i_file);
    void FileConnectionAccepted(std::string i_user, QTcpSocket* ip_socket);
    void FileTransferResponse(std::string i_user, uint i_req, bool i_accepted,
                              bool i_receivedFileSize, qint64 i_fileSize,
                              std::string i_denialReason);
    void DNetConnectionRequested(std::string i_user, QTcpSocket* ip_socket);
    void DNetConnectionAccepted(std::string i_user, QTcpSocket* ip_socket);
    void UploadFailed(std::string i_user, std::string i_file);
    void UploadDenied(std::string i_user, std::string i_file, std::string i_reason);
    void SharedFilesInFolderRequested(std::string i_user, quint32 i_req, std::string i_folder);
    void DownloadPlaceInLine(std::string i_user, std::string i_file, int i_place);
    void ConnectionToUserFailed(std::string i_user, std::string i_type);
    // A listening port could not be opened: other users cannot connect on it.
    void ListeningFailed(quint16 i_port, QString i_reason);

public slots:
    void OnNewConnection();
    void OnNewObfuscatedConnection();
    // Tells the server on which ports this client listens, at every login.
    void OnConnectedToServer();
    void OnSocketReadyToRead();
    void OnSocketClosed();
    void OnSocketError(QAbstractSocket::SocketError i_error);
    void OnIndirectResponseSocketConnected();
    void OnConnectToPeerSocketConnected();
    void OnConnectToPeerSocketError(QAbstractSocket::SocketError i_error);
    void OnIndirectPeerConnectionFailure(uint i_req);
    void EveryHalfMinute();

private:
    // Sockets and the connection requests that the server relays.
    void DeclareSocketTypes();
    // Search requests, their results and the related searches of a text.
    void DeclareSearchTypes();
    // Messages waiting for a connection, and this client's connection attempts.
    void DeclareOutgoingTypes();

    void AcceptConnections(QTcpServer& i_server, bool i_obfuscated);
    void Listen(QTcpServer& i_server, const char* ip_portSetting);
    // Whether a new connection from the address may be kept; logs refusals once a minute.
    bool AdmitConnection(QTcpSocket* ip_socket);
    int FreeDescriptors();
    // Closes a connection whose unsent bytes passed the limit, dropping them.
    void DropUnsent(QTcpSocket* ip_socket);
    void ReadSocket(QTcpSocket* ip_socket);
    // Reads what is there of the current frame's body; false when nothing could be read.
    bool ReadBody(QTcpSocket* ip_socket, SocketBufferInfo& i_info);
    bool HandleFirstMessage(QTcpSocket* ip_socket, ItemPtr i_item, MemStream& i_message);
    bool HandlePeerMessage(ItemPtr i_peerSocket, MemStream& i_message);
    bool HandleSharedFileList(const std::string& i_user, MemStream& i_message);
    bool HandleSearchResults(const std::string& i_user, MemStream& i_message);
    void AddPeerSocketItem(QTcpSocket* ip_socket, const std::string& i_user, bool i_obfuscated);
    void MarkActive(ItemPtr i_peerSocket);
    void HandOver(QTcpSocket* ip_socket);
    // The socket of a direct attempt to the user's stored address; null when there is none.
    QTcpSocket* ConnectDirectly(ItemPtr i_request, ItemPtr i_user, ItemPtr i_type);
    void QueueMessage(const std::string& i_user, MemStream& i_message);
    // Opens the socket that answers a relayed request, if the request is still there.
    void AnswerPeerConnectionRequest(Item* ip_request, std::uint64_t i_serial);

    // Start times on the steady clock, by item serial; items whose age expiry measures.
    void Stamp(ItemPtr i_item);
    qint64 AgeOf(ItemPtr i_item, qint64 i_now);
    void ForEachExpired(const char* ip_type, qint64 i_limit, qint64 i_now,
                        const std::function<void(ItemPtr)>& i_action);
    void ExpireUnsentMessages(qint64 i_now);
    void ExpireIndirectRequests(qint64 i_now);
    void ExpireDirectAttempts(qint64 i_now);
    void ExpireRelayedRequestSockets(qint64 i_now);
    void ExpireIdleConnections(qint64 i_now);
    void ExpireSilentSockets(qint64 i_now);

    QTcpServer m_listeningServer;
    QTcpServer m_obfuscatedListeningServer;
    std::map<QTcpSocket*, SocketBufferInfo> m_socketBufferInfo;
    qint32 m_sendOrderCounter = 0;

    QHostAddress m_listeningAddress{QHostAddress::AnyIPv4};
    QElapsedTimer m_elapsed;
    std::function<qint64()> m_steadyClock;
    std::unordered_map<std::uint64_t, qint64> m_startTimes;

    Limits m_limits;
    // By search request serial.
    std::unordered_map<std::uint64_t, SearchTally> m_searchTallies;
    // Incoming connections by remote address.
    std::unordered_map<QString, std::vector<QPointer<QTcpSocket>>> m_connectionsByAddress;
    // Open descriptors as last counted, and the sockets accepted since.
    int m_openDescriptors = 0;
    int m_acceptedSinceCount = 0;
    qint64 m_descriptorsCountedAt = -1;
    qint64 m_refusalLoggedAt = -1;
    int m_refusedSinceLog = 0;
};

extern PeerMessenger* peerMessenger;
// Set once the messenger is being destroyed: sockets closing then are left alone.
extern bool g_peerMessengerDeleted;
