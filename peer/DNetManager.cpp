#include "DNetManager.h"

#include "Data.h"
#include "DistributedMessageCode.h"
#include "EventHandler.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "PeerMessageCode.h"
#include "PeerMessenger.h"
#include "StoreFunctions.h"

#include <QPointer>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <vector>

DNetManager* dnetManager = nullptr;

namespace
{

void DLog(int i_level, const QString& i_message)
{
    Log(QStringLiteral("Distributed Network"), i_level, i_message);
}

// The node's own state: one dnet_global item per key, whose value is its one dnet_value item.
ItemPtr KeyValue(const char* ip_key)
{
    return TypeOf("dnet_global")->HasItem(ip_key)["dnet_value"];
}

bool HasKey(const char* ip_key)
{
    return !KeyValue(ip_key).IsNull();
}

// A value that nothing holds any more goes at once, so that peers sending ever new values
// cannot pile them up in the store until the next collection.
void RemoveIfUnheld(ItemPtr i_value)
{
    if (i_value && i_value->IsDisconnectedFromAll())
        i_value.Remove();
}

// Connects the item to the value of the type, removing its earlier one when nothing holds it.
void ReplaceValue(ItemPtr i_item, const char* ip_type, Value const& i_value)
{
    ItemPtr l_old = i_item[ip_type];
    i_item += TypeOf(ip_type)->GetItem(i_value);
    RemoveIfUnheld(l_old);
}

void SetKey(const char* ip_key, Value const& i_value)
{
    ReplaceValue(TypeOf("dnet_global")->GetItem(ip_key), "dnet_value", i_value);
}

void ClearKey(const char* ip_key)
{
    ItemPtr l_value = KeyValue(ip_key);
    if (l_value.IsNull())
        return;
    ItemPtr(TypeOf("dnet_global")->HasItem(ip_key)).Disconnect(l_value);
    RemoveIfUnheld(l_value);
}

bool HasParent()
{
    return HasKey("dnet_parent_user");
}

ItemPtr SocketItem(const char* ip_type, QTcpSocket* ip_socket)
{
    return TypeOf(ip_type)->HasItem(Value(ip_socket));
}

QTcpSocket* SocketOf(ItemPtr i_item)
{
    return i_item.AsPtr<QTcpSocket>();
}

void DisconnectSocketSignals(QTcpSocket* ip_socket)
{
    QObject::disconnect(ip_socket, &QIODevice::readyRead, nullptr, nullptr);
    QObject::disconnect(ip_socket, &QAbstractSocket::errorOccurred, nullptr, nullptr);
    QObject::disconnect(ip_socket, &QAbstractSocket::disconnected, nullptr, nullptr);
}

// Closes a connection without running any closing handler for it.
void DropSocket(QTcpSocket* ip_socket)
{
    DisconnectSocketSignals(ip_socket);
    ip_socket->close();
    ip_socket->deleteLater();
}

void WriteFrame(QTcpSocket* ip_socket, const char* ip_message, qint32 i_length)
{
    uchar l_length[4];
    qToLittleEndian(static_cast<quint32>(i_length), l_length);
    ip_socket->write(reinterpret_cast<const char*>(l_length), sizeof l_length);
    ip_socket->write(ip_message, i_length);
}

void WriteFrame(QTcpSocket* ip_socket, MemStream& i_message)
{
    WriteFrame(ip_socket, i_message.GetReadBuffer(), i_message.GetPendingReadLength());
}

MemStream LevelMessage(qint32 i_level)
{
    MemStream l_message;
    l_message.Write(DistributedMessageCode::Level);
    l_message.Write(i_level);
    return l_message;
}

MemStream GroupLeaderMessage(const std::string& i_leader)
{
    MemStream l_message;
    l_message.Write(DistributedMessageCode::GroupLeader);
    l_message.Write(i_leader);
    return l_message;
}

QTcpSocket* SenderSocket(QObject* ip_sender)
{
    return qobject_cast<QTcpSocket*>(ip_sender);
}
} // namespace

DNetManager::DNetManager()
{
    dnetManager = this;

    connect(gp_server, &Server::DNetParentMinSpeed, this, &DNetManager::OnDNetParentMinSpeed);
    connect(gp_server, &Server::DNetParentSpeedConnectionRatio, this,
            &DNetManager::OnDNetParentSpeedConnectionRatio);
    connect(gp_server, &Server::DNetPossibleParents, this, &DNetManager::OnDNetPossibleParents);
    connect(gp_server, &Server::DNetMessage, this, &DNetManager::OnDNetMessage);
    connect(gp_server, &Server::DNetDeliveryReport, this, &DNetManager::OnDNetDeliveryReport);
    connect(gp_server, &Server::DNetReset, this, &DNetManager::OnDNetReset);

    d.NewType("attempted_dnet_connection", false, true, true);
    TypeOf("user")->RelateToType("attempted_dnet_connection", Many, One, false);

    connect(peerMessenger, &PeerMessenger::DNetConnectionAccepted, this,
            &DNetManager::OnDNetConnectionAccepted);
    connect(peerMessenger, &PeerMessenger::DNetConnectionRequested, this,
            &DNetManager::OnDNetConnectionRequested);
    connect(gp_server, &Server::Connected, this, &DNetManager::OnConnected);

    d.NewType("dnet_global", true, false, true);
    d.NewType("dnet_value", false, false, true);
    d.NewType("dnet_child", true, false, true);
    d.NewType("dnet_child_depth", false, false, true);
    d.NewType("dnet_parent_candidate", true, false, true);
    d.NewType("dnet_candidate_level", false, false, true);
    d.NewType("dnet_candidate_leader", false, false, true);
    TypeOf("dnet_global")->RelateToType("dnet_value", Many, One, false);
    TypeOf("dnet_child")->RelateToType("user", One, One, false);
    TypeOf("dnet_child")->RelateToType("dnet_child_depth", Many, One, false);
    TypeOf("dnet_parent_candidate")->RelateToType("user", Many, One, false);
    TypeOf("dnet_parent_candidate")->RelateToType("dnet_candidate_level", Many, One, false);
    TypeOf("dnet_parent_candidate")->RelateToType("dnet_candidate_leader", Many, One, false);

    auto* lp_root = new PathNode(TypeOf("global")->GetItem("upload_speed"));
    new PathNode(lp_root, "global_value", OnConnect);
    d.AddPathEventHandler(lp_root, new EventHandler<DNetManager, Item*>(
                                       this, &DNetManager::OnReceivedOwnUploadSpeed));
}

DNetManager::~DNetManager()
{
    if (dnetManager == this)
        dnetManager = nullptr;
}

void DNetManager::OnConnected()
{
    gp_server->SendDNetHasParent(HasParent());
    m_canParent = false;
    if (ItemPtr l_leader = KeyValue("dnet_group_leader"))
        gp_server->SendDNetGroupLeader(l_leader.AsString());
    if (ItemPtr l_level = KeyValue("dnet_level"))
        gp_server->SendDNetLevel(l_level.AsInt());
    DetermineCanParent();
}

void DNetManager::OnDNetParentMinSpeed(int i_speed)
{
    m_minParentSpeed = i_speed;
    DetermineCanParent();
}

void DNetManager::OnDNetParentSpeedConnectionRatio(int i_ratio)
{
    m_parentSpeedConnectionRatio = i_ratio;
    DetermineCanParent();
}

void DNetManager::OnReceivedOwnUploadSpeed(Item*)
{
    DetermineCanParent();
}

void DNetManager::OnDNetReset()
{
    DLog(1, QStringLiteral("Received DNet reset request"));
}

void DNetManager::OnDNetDeliveryReport(int i_req)
{
    DLog(1, QStringLiteral("Received DNet delivery report request, req %1").arg(i_req));
}

void DNetManager::DetermineCanParent()
{
    if (m_minParentSpeed == -1 || m_parentSpeedConnectionRatio == -1)
        return;
    ItemPtr l_speed = TypeOf("global")->HasItem("upload_speed")["global_value"];
    if (l_speed.IsNull())
        return;
    // The server's numbers are taken as they come: 64 bits hold every product of them.
    const qint64 l_uploadSpeed = l_speed.AsInt();
    DLog(1, QStringLiteral("Determining whether we can accept child connections."));
    bool l_can = false;
    if (l_uploadSpeed < qint64(m_minParentSpeed) * 1024)
    {
        DLog(2, QStringLiteral("Below minimum parent speed, so no."));
    }
    else if (m_parentSpeedConnectionRatio <= 0)
    {
        DLog(2, QStringLiteral("Speed per child connection is %1, so no.")
                    .arg(m_parentSpeedConnectionRatio));
    }
    else
    {
        const qint64 l_capacity = (l_uploadSpeed * 10 / 1024) / m_parentSpeedConnectionRatio;
        const qint64 l_children = qint64(TypeOf("dnet_child")->ItemCount());
        DLog(2, QStringLiteral("Currently have %1 child connections, max capacity %2")
                    .arg(l_children)
                    .arg(l_capacity));
        l_can = l_capacity > l_children;
    }
    if (l_can == m_canParent)
    {
        DLog(2, QStringLiteral("No status change, not notifying."));
        return;
    }
    m_canParent = l_can;
    DLog(2, QStringLiteral("Status changed, sending notification."));
    gp_server->SendDNetCanParent(l_can);
}

void DNetManager::DetermineChildDepth()
{
    // Depths are 32-bit values from the children; one more than the largest fits in 64 bits.
    const qint64 l_old = KeyValue("dnet_child_depth").AsInt64();
    qint64 l_new = 0;
    for (Item* lp_depth : TypeOf("dnet_child")->GetItems().GetItems("dnet_child_depth"))
        l_new = std::max(l_new, lp_depth->AsInt64() + 1);
    if (l_new == l_old)
        return;
    DLog(1, QStringLiteral("New child depth is %1").arg(l_new));
    if (l_new == 0)
        ClearKey("dnet_child_depth");
    else
        SetKey("dnet_child_depth", Value(static_cast<long long>(l_new)));
    gp_server->SendChildDepth(l_new != 0);
}

void DNetManager::OnDNetPossibleParents(Server::ParentList& i_parentList)
{
    if (HasParent())
    {
        DLog(1, QStringLiteral(
                    "Received possible parents list, but already have a parent. Not processing."));
        return;
    }
    DLog(1, QStringLiteral("Received possible parents list, %1 entries")
                .arg(static_cast<qulonglong>(i_parentList.size())));
    int l_attempts = 0;
    for (auto const& [l_name, l_address] : i_parentList)
    {
        if (l_attempts == MaxParentAttempts)
        {
            DLog(2, QStringLiteral("Already attempting %1 parent connections, ignoring the rest")
                        .arg(MaxParentAttempts));
            break;
        }
        ItemPtr l_user = TypeOf("user")->GetItem(l_name);
        if (l_user.IsConnected("attempted_dnet_connection"))
        {
            DLog(2, QStringLiteral("Already attempted parent connection to %1, skipping")
                        .arg(LoggedName(l_name)));
            continue;
        }
        DLog(2, QStringLiteral("Attempting parent connection to %1").arg(LoggedName(l_name)));
        l_user +=
            TypeOf("user_address")->GetItem(Value(static_cast<unsigned int>(l_address.first)));
        l_user += TypeOf("user_port")->GetItem(Value(static_cast<int>(l_address.second)));
        l_user.NewItem("attempted_dnet_connection");
        peerMessenger->RequestDNetConnection(l_name);
        ++l_attempts;
    }
}

void DNetManager::OnDNetConnectionAccepted(std::string i_user, QTcpSocket* ip_socket)
{
    DLog(1, QStringLiteral("Parent connection to user %1 accepted").arg(LoggedName(i_user)));
    if (HasParent())
    {
        DLog(2, QStringLiteral("Rejecting, already have parent"));
        ip_socket->deleteLater();
        return;
    }
    DLog(2, QStringLiteral("Adding as possible parent candidate"));
    ItemPtr l_candidate = TypeOf("dnet_parent_candidate")->GetItem(Value(ip_socket));
    l_candidate += TypeOf("user")->GetItem(i_user);
    connect(ip_socket, &QIODevice::readyRead, this, &DNetManager::OnSocketReadyToRead);
    connect(ip_socket, &QAbstractSocket::errorOccurred, this, &DNetManager::OnSocketError);
    connect(ip_socket, &QAbstractSocket::disconnected, this, &DNetManager::OnSocketClosed);
    ReadBufferedFrames(ip_socket, false);
}

void DNetManager::OnDNetConnectionRequested(std::string i_user, QTcpSocket* ip_socket)
{
    DLog(1, QStringLiteral("Child connection accepted from %1").arg(LoggedName(i_user)));
    ItemPtr l_user = TypeOf("user")->GetItem(i_user);
    if (ItemPtr l_oldChild = l_user["dnet_child"])
    {
        DLog(2, QStringLiteral("Child connection already found, closing old connection."));
        QTcpSocket* lp_oldSocket = SocketOf(l_oldChild);
        l_oldChild.Remove();
        DropSocket(lp_oldSocket);
    }
    ItemPtr(TypeOf("dnet_child")->GetItem(Value(ip_socket))) += l_user;
    connect(ip_socket, &QIODevice::readyRead, this, &DNetManager::OnChildSocketReadyToRead);
    connect(ip_socket, &QAbstractSocket::errorOccurred, this, &DNetManager::OnChildSocketError);
    connect(ip_socket, &QAbstractSocket::disconnected, this, &DNetManager::OnChildSocketClosed);
    if (ItemPtr l_level = KeyValue("dnet_level"))
    {
        MemStream l_message = LevelMessage(l_level.AsInt());
        WriteFrame(ip_socket, l_message);
    }
    if (ItemPtr l_leader = KeyValue("dnet_group_leader"))
    {
        MemStream l_message = GroupLeaderMessage(l_leader.AsString());
        WriteFrame(ip_socket, l_message);
    }
    ReadBufferedFrames(ip_socket, true);
}

void DNetManager::OnSocketReadyToRead()
{
    if (QTcpSocket* lp_socket = SenderSocket(sender()))
        ReadFrames(lp_socket, false);
}

void DNetManager::OnChildSocketReadyToRead()
{
    if (QTcpSocket* lp_socket = SenderSocket(sender()))
        ReadFrames(lp_socket, true);
}

void DNetManager::OnSocketError(QAbstractSocket::SocketError)
{
    if (QTcpSocket* lp_socket = SenderSocket(sender()))
        LoseParentOrCandidate(lp_socket);
}

void DNetManager::OnSocketClosed()
{
    if (QTcpSocket* lp_socket = SenderSocket(sender()))
        LoseParentOrCandidate(lp_socket);
}

void DNetManager::OnChildSocketError(QAbstractSocket::SocketError)
{
    if (QTcpSocket* lp_socket = SenderSocket(sender()))
        LoseChild(lp_socket);
}

void DNetManager::OnChildSocketClosed()
{
    if (QTcpSocket* lp_socket = SenderSocket(sender()))
        LoseChild(lp_socket);
}

void DNetManager::OnDNetMessage(MemStream& i_message)
{
    HandleMessage(nullptr, i_message);
}

void DNetManager::ReadBufferedFrames(QTcpSocket* ip_socket, bool i_fromChild)
{
    if (ip_socket->bytesAvailable() == 0)
        return;
    // Later, so that the messenger that handed the socket over is done with it first.
    QPointer<QTcpSocket> lp_socket(ip_socket);
    QMetaObject::invokeMethod(
        this,
        [this, lp_socket, i_fromChild]
        {
            if (lp_socket)
                ReadFrames(lp_socket, i_fromChild);
        },
        Qt::QueuedConnection);
}

void DNetManager::ReadFrames(QTcpSocket* ip_socket, bool i_fromChild)
{
    // A handler may close the socket; a closed socket holds no more bytes.
    while (ip_socket->isOpen())
    {
        const qint64 l_available = ip_socket->bytesAvailable();
        if (l_available < 4)
            return;
        uchar l_header[4];
        if (ip_socket->peek(reinterpret_cast<char*>(l_header), sizeof l_header) != 4)
            return;
        const qint32 l_length = qFromLittleEndian<qint32>(l_header);
        // Refused on its header alone, before anything is read or allocated for it.
        if (l_length < 0 || l_length > MaxFrameLength)
        {
            DLog(1, QStringLiteral("Invalid frame length %1, closing %2 connection")
                        .arg(l_length)
                        .arg(i_fromChild ? QStringLiteral("child")
                                         : QStringLiteral("parent/candidate")));
            ip_socket->close();
            return;
        }
        if (l_available - 4 < l_length)
            return;
        ip_socket->skip(sizeof l_header);
        m_receiveStream.Reset();
        m_receiveStream.EnsureBufferCapacity(l_length);
        if (ip_socket->read(m_receiveStream.GetWriteBuffer(), l_length) != l_length)
            return;
        m_receiveStream.AdvanceWriteIndex(l_length);
        if (i_fromChild)
            HandleChildMessage(ip_socket, m_receiveStream);
        else
            HandleMessage(ip_socket, m_receiveStream);
    }
}

void DNetManager::HandleMessage(QTcpSocket* ip_socket, MemStream& i_message)
{
    // What a search or a group leader is forwarded as: the message as it came.
    const char* lp_whole = i_message.GetReadBuffer();
    const qint32 l_wholeLength = i_message.GetPendingReadLength();

    quint8 l_code = 0;
    if (!i_message.Read(l_code))
    {
        DLog(1, QStringLiteral("Error reading message code, closing parent/candidate connection"));
        if (ip_socket)
            ip_socket->close();
        return;
    }

    Sender l_sender = Sender::Server;
    if (ip_socket)
    {
        if (HasParent())
        {
            if (KeyValue("dnet_parent_socket").AsString() != Value(ip_socket).AsString())
            {
                DropSocket(ip_socket);
                return;
            }
            l_sender = Sender::Parent;
        }
        else
        {
            if (SocketItem("dnet_parent_candidate", ip_socket).IsNull())
            {
                DropSocket(ip_socket);
                return;
            }
            l_sender = Sender::Candidate;
        }
    }

    switch (l_code)
    {
        case DistributedMessageCode::EmbeddedMessage:
        {
            quint32 l_innerCode = 0;
            if (!i_message.Read(l_innerCode))
            {
                RefuseMessage(ip_socket, l_code);
                return;
            }
            if (l_innerCode == PeerMessageCode::IndirectFileSearchRequest)
            {
                std::string l_user;
                quint32 l_token = 0;
                std::string l_text;
                if (!i_message.Read(l_user) || !i_message.Read(l_token) || !i_message.Read(l_text))
                {
                    RefuseMessage(ip_socket, l_code);
                    return;
                }
                emit DNetSearchRequest(l_user, l_token, l_text);
                if (l_sender == Sender::Candidate)
                    AdoptParent(ip_socket);
            }
            SendMessageToChildren(lp_whole, l_wholeLength);
            break;
        }
        case DistributedMessageCode::Level:
            HandleLevel(ip_socket, i_message, l_sender);
            break;
        case DistributedMessageCode::GroupLeader:
            HandleGroupLeader(ip_socket, i_message, l_sender, lp_whole, l_wholeLength);
            break;
        default:
            break;
    }
}

void DNetManager::HandleLevel(QTcpSocket* ip_socket, MemStream& i_message, Sender i_sender)
{
    qint32 l_level = 0;
    if (!i_message.Read(l_level))
    {
        RefuseMessage(ip_socket, DistributedMessageCode::Level);
        return;
    }
    const ItemPtr l_oldLevel = KeyValue("dnet_level");
    const int l_old = l_oldLevel ? l_oldLevel.AsInt() : -1;
    if (l_level != -1)
    {
        // The level below the sender's must be a level too.
        if (l_level == std::numeric_limits<qint32>::max())
        {
            DLog(1, QStringLiteral("Level %1 out of range, ignored").arg(l_level));
            return;
        }
        ++l_level;
        if (i_sender == Sender::Candidate)
            ReplaceValue(SocketItem("dnet_parent_candidate", ip_socket), "dnet_candidate_level",
                         Value(l_level));
    }
    if (i_sender != Sender::Parent || l_level == l_old)
        return;
    DLog(1, QStringLiteral("Received level from parent, updating to %1").arg(l_level));
    if (l_level == -1)
        ClearKey("dnet_level");
    else
        SetKey("dnet_level", Value(l_level));
    gp_server->SendDNetLevel(l_level);
    MemStream l_message = LevelMessage(l_level);
    SendMessageToChildren(l_message);
}

void DNetManager::HandleGroupLeader(QTcpSocket* ip_socket, MemStream& i_message, Sender i_sender,
                                    const char* ip_whole, qint32 i_wholeLength)
{
    std::string l_leader;
    if (!i_message.Read(l_leader))
    {
        RefuseMessage(ip_socket, DistributedMessageCode::GroupLeader);
        return;
    }
    const std::string l_old = KeyValue("dnet_group_leader").AsString();
    if (i_sender == Sender::Candidate)
        ReplaceValue(SocketItem("dnet_parent_candidate", ip_socket), "dnet_candidate_leader",
                     Value(l_leader));
    if (i_sender != Sender::Parent || l_leader == l_old)
        return;
    DLog(1, QStringLiteral("Received group leader from parent, updating to %1")
                .arg(LoggedName(l_leader)));
    SetKey("dnet_group_leader", Value(l_leader));
    gp_server->SendDNetGroupLeader(l_leader);
    SendMessageToChildren(ip_whole, i_wholeLength);
}

void DNetManager::RefuseMessage(QTcpSocket* ip_socket, quint8 i_code)
{
    if (ip_socket)
    {
        DLog(1, QStringLiteral("Malformed message, code %1, closing parent/candidate connection")
                    .arg(i_code));
        ip_socket->close();
    }
    else
    {
        DLog(1, QStringLiteral("Malformed message from the server, code %1, dropped").arg(i_code));
    }
}

void DNetManager::AdoptParent(QTcpSocket* ip_socket)
{
    ItemPtr l_candidate = SocketItem("dnet_parent_candidate", ip_socket);
    const std::string l_name = l_candidate["user"].AsString();
    SetKey("dnet_parent_user", Value(l_name));
    SetKey("dnet_parent_socket", Value(ip_socket));
    DLog(1, QStringLiteral("Received first search request from parent candidate %1, adopting as "
                           "parent.")
                .arg(LoggedName(l_name)));

    if (ItemPtr l_level = l_candidate["dnet_candidate_level"])
    {
        DLog(2, QStringLiteral("Level recorded as %1.").arg(FromUtf8(l_level.AsString())));
        SetKey("dnet_level", Value(l_level.AsString()));
        gp_server->SendDNetLevel(l_level.AsInt());
        MemStream l_message = LevelMessage(l_level.AsInt());
        SendMessageToChildren(l_message);
    }

    const std::string l_leader = l_candidate["dnet_candidate_leader"].AsString();
    DLog(2, QStringLiteral("Group leader recorded as %1.").arg(LoggedName(l_leader)));
    SetKey("dnet_group_leader", Value(l_leader));
    gp_server->SendDNetGroupLeader(l_leader);
    MemStream l_message = GroupLeaderMessage(l_leader);
    SendMessageToChildren(l_message);

    const ItemSet l_candidates = TypeOf("dnet_parent_candidate")->GetItems();
    std::vector<QTcpSocket*> l_others;
    for (Item* lp_candidate : l_candidates)
        if (QTcpSocket* lp_socket = SocketOf(lp_candidate); lp_socket != ip_socket)
            l_others.push_back(lp_socket);
    l_candidates.Remove();
    for (QTcpSocket* lp_socket : l_others)
        DropSocket(lp_socket);

    gp_server->SendDNetHasParent(true);
}

void DNetManager::LoseParentOrCandidate(QTcpSocket* ip_socket)
{
    if (KeyValue("dnet_parent_socket").AsString() == Value(ip_socket).AsString())
    {
        DLog(1, QStringLiteral("Parent socket closed"));
        ClearKey("dnet_parent_user");
        ClearKey("dnet_parent_socket");
        ClearKey("dnet_group_leader");
        ClearKey("dnet_level");
        gp_server->SendDNetHasParent(false);
        gp_server->SendDNetGroupLeader(std::string());
        gp_server->SendDNetLevel(-1);
        ip_socket->deleteLater();
        return;
    }
    if (ItemPtr l_candidate = SocketItem("dnet_parent_candidate", ip_socket))
    {
        DLog(1, QStringLiteral("Parent candidate socket closed"));
        l_candidate.Remove();
    }
    ip_socket->deleteLater();
}

void DNetManager::LoseChild(QTcpSocket* ip_socket)
{
    DLog(1, QStringLiteral("Child socket closed"));
    DisconnectSocketSignals(ip_socket);
    ip_socket->deleteLater();
    if (ItemPtr l_child = SocketItem("dnet_child", ip_socket))
        l_child.Remove();
    else
        DLog(2, QStringLiteral("Child socket item not found, aborting"));
}

void DNetManager::HandleChildMessage(QTcpSocket* ip_socket, MemStream& i_message)
{
    quint8 l_code = 0;
    if (!i_message.Read(l_code))
    {
        DLog(1, QStringLiteral("Error reading message code, closing child connection"));
        ip_socket->close();
        return;
    }
    ItemPtr l_child = SocketItem("dnet_child", ip_socket);
    if (l_child.IsNull())
    {
        DropSocket(ip_socket);
        return;
    }
    DLog(1, QStringLiteral("Received message from child, code %1").arg(l_code));
    if (l_code != DistributedMessageCode::ChildDepth)
        return;
    qint32 l_depth = 0;
    if (!i_message.Read(l_depth))
    {
        DLog(1, QStringLiteral("Malformed message, code %1, closing child connection").arg(l_code));
        ip_socket->close();
        return;
    }
    DLog(1, QStringLiteral("Received child depth %1 from %2")
                .arg(QString::number(l_depth), LoggedName(l_child["user"].AsString())));
    ReplaceValue(l_child, "dnet_child_depth", Value(l_depth));
    DetermineChildDepth();
}

void DNetManager::SendMessageToChildren(MemStream& i_message)
{
    SendMessageToChildren(i_message.GetReadBuffer(), i_message.GetPendingReadLength());
}

void DNetManager::SendMessageToChildren(const char* ip_message, qint32 i_length)
{
    // The sockets first: a socket that fails is only deleted later, its item may go at once.
    std::vector<QTcpSocket*> l_sockets;
    for (Item* lp_child : TypeOf("dnet_child")->GetItems())
        l_sockets.push_back(SocketOf(lp_child));
    for (QTcpSocket* lp_socket : l_sockets)
    {
        if (lp_socket->bytesToWrite() + 4 + i_length > m_maxChildUnsentBytes)
        {
            DLog(1, QStringLiteral("Child does not take what is sent to it (%1 bytes waiting), "
                                   "closing child connection")
                        .arg(lp_socket->bytesToWrite()));
            LoseChild(lp_socket);
            lp_socket->abort();
            continue;
        }
        WriteFrame(lp_socket, ip_message, i_length);
    }
}

void DNetManager::SetMaxChildUnsentBytes(qint64 i_bytes)
{
    m_maxChildUnsentBytes = i_bytes;
}
