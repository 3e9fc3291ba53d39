#include "TransferPeer.h"

#include "Data.h"
#include "FrameClient.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QTest>
#include <QtEndian>

TransferPeer::TransferPeer(PeerHarness& i_harness, const QByteArray& i_user)
    : m_harness(i_harness), m_user(i_user), mp_peer(std::make_unique<TestPeer>())
{
    if (!mp_peer->Listen())
        qFatal("transfer peer: cannot listen");
    LogIn();
}

TransferPeer::~TransferPeer() = default;

void TransferPeer::LogIn()
{
    mp_central = m_harness.LogInPeer(m_user, *mp_peer, false);
}

void TransferPeer::SetOnline(bool i_online)
{
    ItemPtr l_user = d.GetType("user")->GetItem(m_user.toStdString());
    if (i_online)
        l_user.NewItem("is_online");
    else
        l_user.Disconnect("is_online");
}

int TransferPeer::Messaging()
{
    if (m_messaging < 0)
    {
        m_messaging = m_harness.DialIn(*mp_peer, m_user, "P", false);
        if (!PeerHarness::SocketOf("peer_socket", m_user))
            qWarning("transfer peer: the messaging connection was not taken");
    }
    return m_messaging;
}

void TransferPeer::Send(const QByteArray& i_body)
{
    mp_peer->SendBody(Messaging(), i_body);
}

void TransferPeer::Offer(quint32 i_token, const QByteArray& i_path, quint64 i_size)
{
    Send(TestPeerMessages::TransferRequest(1, i_token, i_path, i_size));
}

void TransferPeer::Accept(quint32 i_token)
{
    Send(TestPeerMessages::TransferAllowed(i_token, std::nullopt));
}

void TransferPeer::Refuse(quint32 i_token, const QByteArray& i_reason)
{
    Send(TestPeerMessages::TransferDenied(i_token, i_reason));
}

void TransferPeer::Queue(const QByteArray& i_path)
{
    Send(TestPeerMessages::QueueUpload(i_path));
}

void TransferPeer::Collect()
{
    for (int l_connection : mp_peer->ConnectionIds())
    {
        if (mp_peer->GetMode(l_connection) != TestPeer::Mode::Peer)
            continue;
        const QList<TestPeer::Frame> l_frames = mp_peer->Frames(l_connection);
        for (qsizetype& l_taken = m_taken[l_connection]; l_taken < l_frames.size(); ++l_taken)
            m_untaken.append({l_frames[l_taken].code, l_frames[l_taken].fields});
    }
}

std::optional<QByteArray> TransferPeer::Take(quint32 i_code, int i_timeoutMs)
{
    Messaging();
    std::optional<QByteArray> l_found;
    // A time-out leaves l_found empty, which is the answer.
    (void)QTest::qWaitFor(
        [&]
        {
            Collect();
            for (qsizetype l_index = 0; l_index < m_untaken.size(); ++l_index)
                if (m_untaken[l_index].first == i_code)
                {
                    l_found = m_untaken.takeAt(l_index).second;
                    return true;
                }
            return false;
        },
        i_timeoutMs);
    return l_found;
}

void TransferPeer::Forget()
{
    Collect();
    m_untaken.clear();
}

int TransferPeer::Count(quint32 i_code)
{
    int l_count = 0;
    for (int l_connection : mp_peer->ConnectionIds())
        if (mp_peer->GetMode(l_connection) == TestPeer::Mode::Peer)
            for (const TestPeer::Frame& l_frame : mp_peer->Frames(l_connection))
                l_count += l_frame.code == i_code ? 1 : 0;
    return l_count;
}

std::optional<quint32> TransferPeer::TakeSearch(const QByteArray& i_text, int i_timeoutMs)
{
    constexpr quint32 l_embeddedCode = 93;
    constexpr quint8 l_distributedSearch = 3;
    constexpr quint32 l_searchCode = 49;
    while (std::optional<QByteArray> l_fields = mp_central->Take(l_embeddedCode, i_timeoutMs))
    {
        WireReader l_reader(*l_fields);
        const bool l_search =
            l_reader.ReadU8() == l_distributedSearch && l_reader.ReadU32() == l_searchCode;
        l_reader.ReadString();
        const quint32 l_token = l_reader.ReadU32();
        if (l_search && l_reader.ReadString() == i_text && l_reader.Ok())
            return l_token;
    }
    return std::nullopt;
}

std::unique_ptr<FileConnectionSender> TransferPeer::SendFile(quint32 i_token,
                                                             const QByteArray& i_bytes,
                                                             FileConnectionSender::Ending i_ending,
                                                             qint64 i_stopAt)
{
    auto lp_sender = std::make_unique<FileConnectionSender>(m_harness.Messenger().ListeningPort(),
                                                            m_user, i_token);
    lp_sender->SetSourceBytes(i_bytes);
    lp_sender->SetEnding(i_ending, i_stopAt);
    lp_sender->start();
    return lp_sender;
}

int TransferPeer::TakeFileConnection(quint32& o_token, std::optional<qint64> i_offset,
                                     int i_timeoutMs)
{
    // Peer connections the client opened to send messages come in on the same port.
    int l_connection = -1;
    do
    {
        l_connection = mp_peer->NextIncoming(i_timeoutMs);
        if (l_connection < 0 || !mp_peer->WaitForFirstMessage(l_connection, i_timeoutMs))
            return -1;
    } while (mp_peer->ReceivedFirstMessage(l_connection).type != "F");
    if (!mp_peer->WaitForRawBytes(l_connection, 4, i_timeoutMs))
        return -1;
    o_token = qFromLittleEndian<quint32>(mp_peer->RawBytes(l_connection).constData());
    if (i_offset)
        mp_peer->SendRaw(l_connection, WireWriter().WriteU64(quint64(*i_offset)).Bytes());
    return l_connection;
}
