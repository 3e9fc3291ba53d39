#include "PeerMessenger.h"

#include "Data.h"
#include "EventHandler.h"
#include "Server.h"

#include <QDateTime>

#include <cstdlib>
#include <ctime>

PeerMessenger* peerMessenger = nullptr;
bool g_peerMessengerDeleted = false;

namespace
{
Type* TypeOf(const char* ip_name)
{
    return d.GetType(ip_name);
}

// Relations as (x, y): x items of the first type to y items of the related type.
void Relate(const char* ip_first, const char* ip_related, OneOrMany i_x, OneOrMany i_y,
            bool i_owns = false)
{
    TypeOf(ip_first)->RelateToType(ip_related, i_x, i_y, i_owns);
}
} // namespace

PeerMessenger::PeerMessenger()
{
    peerMessenger = this;
    connect(gp_server, &Server::Connected, this, &PeerMessenger::OnConnectedToServer);
    DeclareSocketTypes();
    DeclareSearchTypes();
    DeclareOutgoingTypes();
    // Obfuscation keys come from rand.
    std::srand(static_cast<unsigned int>(std::time(nullptr)));
}

PeerMessenger::~PeerMessenger()
{
    g_peerMessengerDeleted = true;
    if (peerMessenger == this)
        peerMessenger = nullptr;
}

void PeerMessenger::DeclareSocketTypes()
{
    d.NewType("uninitialized_socket", true, false, false);
    d.NewType("peer_socket", true, false, false);
    d.NewType("connection_open_time", false, false, true);
    d.NewType("last_activity_time", true, false, true);
    d.NewType("is_obfuscated", false, true, true);
    Relate("peer_socket", "user", Many, One);
    Relate("peer_socket", "connection_open_time", Many, One);
    Relate("peer_socket", "last_activity_time", Many, One);
    Relate("peer_socket", "is_obfuscated", Many, One);
    Relate("uninitialized_socket", "is_obfuscated", Many, One);

    Type* lp_peerSocket = TypeOf("peer_socket");
    lp_peerSocket->m_itemAddedEvent.AddHandler(
        new EventHandler<PeerMessenger, Item*>(this, &PeerMessenger::OnPeerSocketItemAdded));
    lp_peerSocket->m_itemRemovedEvent.AddHandler(
        new EventHandler<PeerMessenger, Item*>(this, &PeerMessenger::OnPeerSocketItemRemoved));

    d.NewType("peer_connection_request", true, true, false);
    d.NewType("peer_connection_request_id", false, false, true);
    d.NewType("peer_connection_type", false, false, true);
    d.NewType("peer_connection_request_socket", true, false, false);
    d.NewType("user_address", false, false, true);
    d.NewType("user_port", false, false, true);
    d.NewType("user_obfuscated_port", false, false, true);
    d.NewType("socket_creation_time", false, false, true);
    Relate("peer_connection_request", "peer_connection_request_id", Many, One);
    Relate("peer_connection_request", "peer_connection_request_socket", One, One);
    Relate("peer_connection_request", "user", Many, One);
    Relate("peer_connection_request", "peer_connection_type", Many, One);
    Relate("peer_connection_request", "is_obfuscated", Many, One);
    Relate("peer_connection_request_socket", "socket_creation_time", Many, One);
    Relate("user", "user_address", Many, One);
    Relate("user", "user_port", Many, One);
    Relate("user", "user_obfuscated_port", Many, One);
}

void PeerMessenger::DeclareSearchTypes()
{
    d.NewType("search_request", true, false, false);
    d.NewType("search_request_text", true, false, true);
    d.NewType("wishlist_search", false, true, true);
    d.NewType("search_results", true, true, true);
    d.NewType("search_result", false, true, true);
    d.NewType("search_results_user_available", false, false, true);
    d.NewType("search_results_user_speed", false, false, true);
    d.NewType("search_results_uploads_in_queue", false, false, true);
    d.NewType("search_result_file_name", false, false, true);
    d.NewType("search_result_file_folder", false, false, true);
    d.NewType("file_size", false, false, true);
    Relate("search_request", "search_request_text", Many, One);
    Relate("search_request", "wishlist_search", Many, One);
    Relate("search_request", "search_results", One, Many, true);
    Relate("search_results", "search_result", One, Many, true);
    Relate("search_results", "user", Many, One);
    Relate("search_results", "search_results_user_available", Many, One);
    Relate("search_results", "search_results_user_speed", Many, One);
    Relate("search_results", "search_results_uploads_in_queue", Many, One);
    Relate("search_result", "search_result_file_name", Many, One);
    Relate("search_result", "search_result_file_folder", Many, One);
    Relate("search_result", "file_size", Many, One);

    d.NewType("search_correlation", false, true, true);
    d.NewType("correlation_text", false, false, true);
    d.NewType("correlation_rank", false, false, true);
    Relate("search_request_text", "search_correlation", One, Many);
    Relate("search_correlation", "correlation_text", Many, One);
    Relate("search_correlation", "correlation_rank", Many, One);

    for (const char* lp_attribute : {"mpeg_version", "channel_mode", "audio_frequency",
                                     "bitrate_mode", "bitrate", "length_seconds"})
        d.NewType(lp_attribute, false, false, true);
    Relate("search_result", "bitrate_mode", Many, One);
    Relate("search_result", "bitrate", Many, One);
    Relate("search_result", "length_seconds", Many, One);
}

void PeerMessenger::DeclareOutgoingTypes()
{
    d.NewType("unsent_message", true, false, true);
    d.NewType("send_order", false, false, true);
    d.NewType("send_time", false, false, true);
    Relate("unsent_message", "user", Many, One);
    Relate("unsent_message", "send_order", One, One);
    Relate("unsent_message", "send_time", Many, One);

    d.NewType("connect_to_peer_request", true, true, true);
    d.NewType("connect_to_peer_request_status", false, false, true);
    d.NewType("connect_to_peer_request_socket", true, false, true);
    d.NewType("indirect_connect_to_peer_request", true, false, true);
    Relate("connect_to_peer_request", "connect_to_peer_request_status", Many, One);
    Relate("connect_to_peer_request", "connect_to_peer_request_socket", One, One);
    Relate("connect_to_peer_request", "user", Many, One);
    Relate("connect_to_peer_request", "peer_connection_type", Many, One);
    Relate("connect_to_peer_request", "indirect_connect_to_peer_request", One, One);
    Relate("connect_to_peer_request_socket", "socket_creation_time", Many, One);
    Relate("indirect_connect_to_peer_request", "send_time", Many, One);
    Relate("connect_to_peer_request_socket", "user", Many, One);
    Relate("connect_to_peer_request_socket", "peer_connection_type", Many, One);
    Relate("connect_to_peer_request_socket", "is_obfuscated", Many, One);
    Relate("indirect_connect_to_peer_request", "user", Many, One);
    Relate("indirect_connect_to_peer_request", "peer_connection_type", Many, One);
}

void PeerMessenger::OnConnectedToServer()
{
    Type* lp_settings = TypeOf("global");
    gp_server->SetWaitPort(
        lp_settings->HasItem("listening_port")["global_value"].AsInt(),
        lp_settings->HasItem("obfuscated_listening_port")["global_value"].AsInt());
}

void PeerMessenger::OnPeerSocketItemAdded(Item* ip_item)
{
    QDateTime* lp_time = new QDateTime(QDateTime::currentDateTime());
    ItemPtr(ip_item) += TypeOf("last_activity_time")->GetItem(Value(lp_time));
}

void PeerMessenger::OnPeerSocketItemRemoved(Item* ip_item)
{
    ItemPtr l_time = ItemPtr(ip_item)["last_activity_time"];
    if (!l_time)
        return;
    QDateTime* lp_time = l_time.AsPtr<QDateTime>();
    l_time.Remove();
    delete lp_time;
}
