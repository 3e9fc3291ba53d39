#pragma once

#include "DataHandler.h"
#include "MemStream.h"
#include "Server.h"

#include <QAbstractSocket>
#include <QObject>

#include <string>

class Item;
class QTcpSocket;

// This client's node in the distributed search tree: it connects to the parents that the server
// proposes, adopts the first that sends a search, takes children, reports its position in the tree
// to the server, and passes searches down to its children. Its tree state lives in the store.
class DNetManager : public QObject, public DataHandler
{
    Q_OBJECT

public:
    // A distributed frame longer than this, or with a negative length, ends its connection.
    static constexpr qint32 MaxFrameLength = 10 * 1024 * 1024;
    // Parents tried at once from one list that the server proposes.
    static constexpr int MaxParentAttempts = 10;

    // Needs the server with its user vocabulary, the peer messenger and the settings types.
    DNetManager();
    ~DNetManager() override;

    // Tells the server whether this node can take more children, when that has changed.
    void DetermineCanParent();
    // Recomputes the depth of the subtree below this node from its children's reports.
    void DetermineChildDepth();
    // Store path handler: the own upload speed has a new value.
    void OnReceivedOwnUploadSpeed(Item* ip_item);

    // One message from the parent, a candidate or (without a socket) the server; the stream is
    // positioned on the message's code byte.
    void HandleMessage(QTcpSocket* ip_socket, MemStream& i_message);
    // One message from a child.
    void HandleChildMessage(QTcpSocket* ip_socket, MemStream& i_message);
    // Writes the unread part of the stream, as one frame, to every child.
    void SendMessageToChildren(MemStream& i_message);
    // Bytes waiting to be sent to one child, past which the child is dropped. Tests lower it.
    void SetMaxChildUnsentBytes(qint64 i_bytes);

signals:
    void DNetSearchRequest(std::string i_user, quint32 i_req, std::string i_searchText);

public slots:
    void OnDNetParentMinSpeed(int i_speed);
    void OnDNetParentSpeedConnectionRatio(int i_ratio);
    void OnDNetPossibleParents(Server::ParentList& i_parentList);
    void OnDNetMessage(MemStream& i_message);
    void OnDNetDeliveryReport(int i_req);
    void OnDNetReset();
    void OnDNetConnectionAccepted(std::string i_user, QTcpSocket* ip_socket);
    void OnSocketReadyToRead();
    void OnSocketError(QAbstractSocket::SocketError i_error);
    void OnSocketClosed();
    void OnConnected();
    void OnDNetConnectionRequested(std::string i_user, QTcpSocket* ip_socket);
    void OnChildSocketReadyToRead();
    void OnChildSocketError(QAbstractSocket::SocketError i_error);
    void OnChildSocketClosed();

private:
    enum class Sender
    {
        Server,
        Parent,
        Candidate
    };

    // Takes every complete frame buffered on the socket and hands it to the parent-side or the
    // child-side handler.
    void ReadFrames(QTcpSocket* ip_socket, bool i_fromChild);
    // Bytes that arrived before the socket was handed over raise no readyRead of their own.
    void ReadBufferedFrames(QTcpSocket* ip_socket, bool i_fromChild);

    void HandleLevel(QTcpSocket* ip_socket, MemStream& i_message, Sender i_sender);
    void HandleGroupLeader(QTcpSocket* ip_socket, MemStream& i_message, Sender i_sender,
                           const char* ip_whole, qint32 i_wholeLength);
    // A message whose fields cannot be read: its connection, if any, is closed.
    void RefuseMessage(QTcpSocket* ip_socket, quint8 i_code);
    void AdoptParent(QTcpSocket* ip_socket);
    void LoseParentOrCandidate(QTcpSocket* ip_socket);
    void LoseChild(QTcpSocket* ip_socket);
    void SendMessageToChildren(const char* ip_message, qint32 i_length);

    MemStream m_receiveStream;
    qint32 m_minParentSpeed = -1;
    qint32 m_parentSpeedConnectionRatio = -1;
    bool m_canParent = false;
    qint64 m_maxChildUnsentBytes = 2 * 1024 * 1024;
};

extern DNetManager* dnetManager;
