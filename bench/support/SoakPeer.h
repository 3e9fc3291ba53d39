#pragma once

#include "TestPeerMessages.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>

#include <memory>
#include <vector>

class FileConnectionSender;
class FrameClient;
class TestPeer;

// One other user of the whole-client soak, with a test peer as its client, logged in to the test
// server on 127.0.0.1: it shares a folder of files whose bytes are made from their names, answers
// every search of the client that holds "soak" with all of them, sends its share list, uploads
// what the client queues (offer, then a file connection of its own), takes what the client uploads
// to it, chats in a room, leaves and enters it again, logs out and back in, and asks the client
// for files. Everything it receives from the server is read and dropped, so that a long run holds
// nothing of it.
class SoakPeer : public QObject
{
    Q_OBJECT

public:
    static constexpr int filesShared = 10;

    SoakPeer(quint16 i_serverPort, const QByteArray& i_name, QObject* ip_parent = nullptr);
    ~SoakPeer() override;

    QByteArray Name() const { return m_name; }
    // The name of one of its files as the client sees it in results and lists.
    QByteArray SharedPath(int i_file) const;
    static QByteArray FileBytes(const QByteArray& i_path);

    void LogIn();
    void LogOut();
    bool IsLoggedIn() const { return mp_central != nullptr; }
    void EnterRoom(const QByteArray& i_room);
    void LeaveRoom(const QByteArray& i_room);
    void Say(const QByteArray& i_room, const QByteArray& i_text);

    // The client's plain listening port, where this user dials it.
    void SetClientPort(quint16 i_port) { m_clientPort = i_port; }
    // Asks the client for its share list; ClientListReceived follows.
    void BrowseClient();
    // Asks the client to upload the file to this user.
    void QueueFromClient(const QByteArray& i_path);
    // Uploads under way in either direction: file connections not yet ended.
    int TransfersRunning();
    // Closes every peer connection and forgets them, after the file connections have ended.
    void CloseConnections();

    struct Figures
    {
        long long searchesAnswered = 0;
        long long listsSent = 0;
        long long filesSent = 0;
        long long filesReceived = 0;
        long long bytesReceived = 0;
        long long chatLinesSeen = 0;
    };
    const Figures& GetFigures() const { return m_figures; }

signals:
    // The client's shared files, with "\" between folders.
    void ClientListReceived(QList<QByteArray> i_paths);

private:
    void OnCentralFrame(quint32 i_code, const QByteArray& i_fields);
    void OnPeerFrame(int i_connection, quint32 i_code, const QByteArray& i_fields);
    void OnFirstMessage(int i_connection);
    void OnRaw(int i_connection);
    void AnswerSearch(quint32 i_token, const QByteArray& i_text);
    // The connection this user dialed to the client, dialed again once the client closed it.
    int Messaging();
    void Drain();

    struct Incoming
    {
        quint32 token = 0;
        bool answered = false;
        qint64 expected = -1;
    };

    quint16 m_serverPort;
    QByteArray m_name;
    quint16 m_clientPort = 0;
    std::unique_ptr<TestPeer> mp_peer;
    std::unique_ptr<FrameClient> mp_central;
    int m_messaging = -1;
    QList<TestPeerMessages::Folder> m_folders;
    QByteArray m_shareList;
    quint32 m_nextToken = 1;
    // Offers made to the client, by token: the file.
    QHash<quint32, QByteArray> m_offered;
    // Uploads the client offered and this user allowed, by token: their size.
    QHash<quint32, qint64> m_allowed;
    QHash<int, Incoming> m_incoming;
    std::vector<std::unique_ptr<FileConnectionSender>> m_senders;
    Figures m_figures;
};
