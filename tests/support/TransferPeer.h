#pragma once

#include "FileConnectionSender.h"

#include <QByteArray>

#include <map>
#include <memory>
#include <optional>

class FrameClient;
class PeerHarness;
class TestPeer;

// Another user on the other side of transfers with this client: logged in to the test server,
// with a test peer as its client and one messaging connection dialed in to this client. As an
// uploader it offers files (40), answers queue requests and fails or refuses uploads (44, 46,
// 50), and sends a file over a file connection with the token and the offset, to the end, or
// stalling, or closing early. As a downloader it queues files (43), accepts or refuses offers
// (41) and takes the file connection that this client opens, answering the start offset.
class TransferPeer
{
public:
    TransferPeer(PeerHarness& i_harness, const QByteArray& i_user);
    ~TransferPeer();

    TestPeer& Peer() { return *mp_peer; }
    // Logs in to the test server again, after it restarted.
    void LogIn();
    // Sets or clears the user's online flag in the client's store.
    void SetOnline(bool i_online);

    // Messages on the messaging connection.
    void Send(const QByteArray& i_body);
    void Offer(quint32 i_token, const QByteArray& i_path, quint64 i_size);
    void Accept(quint32 i_token);
    void Refuse(quint32 i_token, const QByteArray& i_reason);
    void Queue(const QByteArray& i_path);
    // The fields of the next message of that code from the client not yet taken, on any messaging
    // connection between the two (the client may have opened one of its own).
    std::optional<QByteArray> Take(quint32 i_code, int i_timeoutMs = 20000);
    // Leaves every message that has arrived so far untaken for good.
    void Forget();
    // How many messages of that code have arrived so far.
    int Count(quint32 i_code);
    // The token of the next search that the server passed on to this user with that text, or
    // nullopt.
    std::optional<quint32> TakeSearch(const QByteArray& i_text, int i_timeoutMs = 20000);

    // Uploading: a sender for the file connection of the token, started.
    std::unique_ptr<FileConnectionSender>
    SendFile(quint32 i_token, const QByteArray& i_bytes,
             FileConnectionSender::Ending i_ending = FileConnectionSender::Ending::Complete,
             qint64 i_stopAt = 0);

    // Downloading: waits for the file connection that the client opens, reads its token, answers
    // the offset when one is given and returns the connection, or -1.
    int TakeFileConnection(quint32& o_token, std::optional<qint64> i_offset,
                           int i_timeoutMs = 20000);

private:
    int Messaging();
    // Moves the frames that arrived since the last look into the untaken list.
    void Collect();

    PeerHarness& m_harness;
    QByteArray m_user;
    std::unique_ptr<TestPeer> mp_peer;
    std::unique_ptr<FrameClient> mp_central;
    int m_messaging = -1;
    // Frames of each messaging connection already looked at.
    std::map<int, qsizetype> m_taken;
    QList<QPair<quint32, QByteArray>> m_untaken;
};
