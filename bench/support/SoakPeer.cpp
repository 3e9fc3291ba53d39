#include "SoakPeer.h"

#include "FileConnectionSender.h"
#include "FrameClient.h"
#include "PeerHarness.h"
#include "TestPeer.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QCryptographicHash>
#include <QTimer>
#include <QtEndian>

namespace
{
using Messages = TestPeerMessages;

// Server codes.
constexpr quint32 roomChatCode = 13, enterRoomCode = 14, leaveRoomCode = 15, embeddedCode = 93;
constexpr quint8 distributedEmbeddedCode = 3;
// Peer codes.
constexpr quint32 getShareListCode = 4, shareListCode = 5, transferRequestCode = 40,
                  transferResponseCode = 41, queueUploadCode = 43;
constexpr quint32 uploadDirection = 1;
// The largest share list of the client this user inflates.
constexpr qsizetype maxListBytes = 16 * 1024 * 1024;
} // namespace

SoakPeer::SoakPeer(quint16 i_serverPort, const QByteArray& i_name, QObject* ip_parent)
    : QObject(ip_parent), m_serverPort(i_serverPort), m_name(i_name),
      mp_peer(std::make_unique<TestPeer>())
{
    if (!mp_peer->Listen())
        qFatal("soak peer: cannot listen");
    TestPeerMessages::Folder l_folder;
    l_folder.name = "soak\\" + m_name;
    for (int l_file = 0; l_file < filesShared; ++l_file)
    {
        const QByteArray l_path = SharedPath(l_file);
        l_folder.files.append({l_path.mid(l_path.lastIndexOf('\\') + 1),
                               quint64(FileBytes(l_path).size()),
                               "bin",
                               {}});
    }
    m_folders.append(l_folder);
    m_shareList = Messages::ShareListContent(m_folders);
    connect(mp_peer.get(), &TestPeer::FrameReceived, this, &SoakPeer::OnPeerFrame);
    connect(mp_peer.get(), &TestPeer::FirstMessageReceived, this, &SoakPeer::OnFirstMessage);
    connect(mp_peer.get(), &TestPeer::RawReceived, this,
            [this](int i_connection, const QByteArray&) { OnRaw(i_connection); });
    auto* lp_drain = new QTimer(this);
    connect(lp_drain, &QTimer::timeout, this, &SoakPeer::Drain);
    lp_drain->start(500);
}

SoakPeer::~SoakPeer() = default;

QByteArray SoakPeer::SharedPath(int i_file) const
{
    return "soak\\" + m_name + "\\soak-" + m_name + '-' + QByteArray::number(i_file) + ".bin";
}

QByteArray SoakPeer::FileBytes(const QByteArray& i_path)
{
    // 64 to 192 KiB of bytes that differ from file to file.
    const QByteArray l_seed = QCryptographicHash::hash(i_path, QCryptographicHash::Sha256);
    const qsizetype l_size = 65536 + qsizetype(quint8(l_seed[0])) * 512;
    QByteArray l_bytes;
    l_bytes.reserve(l_size);
    while (l_bytes.size() < l_size)
        l_bytes += l_seed;
    l_bytes.truncate(l_size);
    return l_bytes;
}

void SoakPeer::LogIn()
{
    mp_central = PeerHarness::LogInPeer(m_serverPort, m_name, *mp_peer, false);
    connect(mp_central.get(), &FrameClient::FrameArrived, this, &SoakPeer::OnCentralFrame);
}

void SoakPeer::LogOut()
{
    if (!mp_central)
        return;
    mp_central->Close();
    mp_central.reset();
}

void SoakPeer::EnterRoom(const QByteArray& i_room)
{
    if (mp_central)
        mp_central->SendMessage(enterRoomCode,
                                WireWriter().WriteString(i_room).WriteU32(0).Bytes());
}

void SoakPeer::LeaveRoom(const QByteArray& i_room)
{
    if (mp_central)
        mp_central->SendMessage(leaveRoomCode, WireWriter().WriteString(i_room).Bytes());
}

void SoakPeer::Say(const QByteArray& i_room, const QByteArray& i_text)
{
    if (mp_central)
        mp_central->SendMessage(roomChatCode,
                                WireWriter().WriteString(i_room).WriteString(i_text).Bytes());
}

int SoakPeer::Messaging()
{
    if (m_messaging < 0 || !mp_peer->IsOpen(m_messaging))
    {
        m_messaging = mp_peer->Dial(m_clientPort, false);
        mp_peer->SendPeerInit(m_messaging, m_name, "P");
    }
    return m_messaging;
}

void SoakPeer::BrowseClient()
{
    mp_peer->SendBody(Messaging(), Messages::GetSharedFileList());
}

void SoakPeer::QueueFromClient(const QByteArray& i_path)
{
    mp_peer->SendBody(Messaging(), Messages::QueueUpload(i_path));
}

void SoakPeer::Drain()
{
    // What the server sent and no one waits for: room chat, statuses, searches already answered.
    if (!mp_central)
        return;
    while (!mp_central->Pending().isEmpty())
        (void)mp_central->TakeNext(0);
}

void SoakPeer::OnCentralFrame(quint32 i_code, const QByteArray& i_fields)
{
    if (i_code == roomChatCode)
        ++m_figures.chatLinesSeen;
    if (i_code != embeddedCode || m_clientPort == 0)
        return;
    WireReader l_reader(i_fields);
    if (l_reader.ReadU8() != distributedEmbeddedCode)
        return;
    (void)l_reader.ReadU32();
    const QByteArray l_user = l_reader.ReadString();
    const quint32 l_token = l_reader.ReadU32();
    const QByteArray l_text = l_reader.ReadString();
    if (l_reader.Ok() && l_text.contains("soak"))
        AnswerSearch(l_token, l_text);
}

void SoakPeer::AnswerSearch(quint32 i_token, const QByteArray&)
{
    QList<Messages::File> l_files;
    for (int l_file = 0; l_file < filesShared; ++l_file)
    {
        const QByteArray l_path = SharedPath(l_file);
        l_files.append({l_path, quint64(FileBytes(l_path).size()), "bin", {}});
    }
    mp_peer->SendCompressedMessage(
        Messaging(), 9, Messages::SearchReplyContent(m_name, i_token, l_files, 1, 100000, 0));
    ++m_figures.searchesAnswered;
}

void SoakPeer::OnPeerFrame(int i_connection, quint32 i_code, const QByteArray& i_fields)
{
    WireReader l_reader(i_fields);
    switch (i_code)
    {
        case getShareListCode:
            mp_peer->SendCompressedMessage(i_connection, shareListCode, m_shareList);
            ++m_figures.listsSent;
            break;
        case shareListCode:
        {
            const std::optional<QByteArray> l_content = Messages::Inflate(i_fields, maxListBytes);
            const std::optional<Messages::ShareList> l_list =
                l_content ? Messages::ReadShareListContent(*l_content) : std::nullopt;
            if (!l_list)
                break;
            QList<QByteArray> l_paths;
            for (const Messages::Folder& l_folder : l_list->folders)
                for (const Messages::File& l_file : l_folder.files)
                    l_paths.append(l_folder.name + '\\' + l_file.name);
            emit ClientListReceived(l_paths);
            break;
        }
        case queueUploadCode:
        {
            // The client wants one of this user's files: offered at once.
            const QByteArray l_path = l_reader.ReadString();
            if (!l_reader.Ok())
                break;
            const quint32 l_token = m_nextToken++;
            m_offered.insert(l_token, l_path);
            mp_peer->SendBody(i_connection,
                              Messages::TransferRequest(uploadDirection, l_token, l_path,
                                                        quint64(FileBytes(l_path).size())));
            break;
        }
        case transferResponseCode:
        {
            const quint32 l_token = l_reader.ReadU32();
            const bool l_allowed = l_reader.ReadU8() != 0;
            if (!l_reader.Ok() || !m_offered.contains(l_token))
                break;
            const QByteArray l_path = m_offered.take(l_token);
            if (!l_allowed)
                break;
            auto lp_sender = std::make_unique<FileConnectionSender>(m_clientPort, m_name, l_token);
            lp_sender->SetSourceBytes(FileBytes(l_path));
            connect(lp_sender.get(), &QThread::finished, this, [this] { ++m_figures.filesSent; });
            lp_sender->start();
            m_senders.push_back(std::move(lp_sender));
            break;
        }
        case transferRequestCode:
        {
            // The client offers an upload this user asked for: allowed.
            const quint32 l_direction = l_reader.ReadU32();
            const quint32 l_token = l_reader.ReadU32();
            (void)l_reader.ReadString();
            const quint64 l_size = l_reader.ReadU64();
            if (!l_reader.Ok() || l_direction != uploadDirection)
                break;
            m_allowed.insert(l_token, qint64(l_size));
            mp_peer->SendBody(i_connection, Messages::TransferAllowed(l_token, std::nullopt));
            break;
        }
        default:
            break;
    }
}

void SoakPeer::OnFirstMessage(int i_connection)
{
    if (mp_peer->ReceivedFirstMessage(i_connection).type == "F")
        m_incoming.insert(i_connection, Incoming());
}

void SoakPeer::OnRaw(int i_connection)
{
    // A file connection of the client's: its token, the start offset answered, then the bytes.
    auto l_found = m_incoming.find(i_connection);
    if (l_found == m_incoming.end())
        return;
    const QByteArray l_raw = mp_peer->RawBytes(i_connection);
    Incoming& l_incoming = *l_found;
    if (!l_incoming.answered)
    {
        if (l_raw.size() < 4)
            return;
        l_incoming.token = qFromLittleEndian<quint32>(l_raw.constData());
        l_incoming.expected = m_allowed.take(l_incoming.token);
        l_incoming.answered = true;
        mp_peer->SendRaw(i_connection, WireWriter().WriteU64(0).Bytes());
    }
    if (l_incoming.expected >= 0 && l_raw.size() - 4 >= l_incoming.expected)
    {
        ++m_figures.filesReceived;
        m_figures.bytesReceived += l_incoming.expected;
        m_incoming.erase(l_found);
        mp_peer->Close(i_connection);
    }
}

int SoakPeer::TransfersRunning()
{
    std::erase_if(m_senders, [](const std::unique_ptr<FileConnectionSender>& i_sender)
                  { return i_sender->isFinished(); });
    int l_running = int(m_senders.size());
    for (auto l_incoming = m_incoming.cbegin(); l_incoming != m_incoming.cend(); ++l_incoming)
        l_running += mp_peer->IsOpen(l_incoming.key()) ? 1 : 0;
    return l_running;
}

void SoakPeer::CloseConnections()
{
    for (int l_connection : mp_peer->ConnectionIds())
        if (mp_peer->IsOpen(l_connection))
            mp_peer->Close(l_connection);
    m_incoming.clear();
    m_messaging = -1;
}
