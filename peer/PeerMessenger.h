#pragma once

#include "AttributeTranslationTable.h"
#include "DataHandler.h"
#include "FileInfoMap.h"
#include "ItemPtr.h"

#include <QObject>
#include <QTcpSocket>

#include <string>

class Item;

// Owns every connection between this client and other users' clients. Its state lives in the
// store: the vocabulary of sockets, connection attempts, requests relayed by the server, messages
// waiting for a connection and received search results is declared here.
class PeerMessenger : public QObject, public DataHandler
{
    Q_OBJECT

public:
    // Needs the server and its user vocabulary, the timers and the data saver.
    PeerMessenger();
    ~PeerMessenger() override;

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

public slots:
    // Tells the server on which ports this client listens, at every login.
    void OnConnectedToServer();

public:
    // Every messaging socket gets its own last-activity time, which goes with it.
    void OnPeerSocketItemAdded(Item* ip_item);
    void OnPeerSocketItemRemoved(Item* ip_item);

private:
    // Sockets and the connection requests that the server relays.
    void DeclareSocketTypes();
    // Search requests, their results and the related searches of a text.
    void DeclareSearchTypes();
    // Messages waiting for a connection, and this client's connection attempts.
    void DeclareOutgoingTypes();
};

extern PeerMessenger* peerMessenger;
// Set once the messenger is being destroyed: sockets closing then are left alone.
extern bool g_peerMessengerDeleted;
