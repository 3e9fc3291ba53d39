#include "FuzzClient.h"

#include "CentralStandIn.h"
#include "DNetManager.h"
#include "Data.h"
#include "DataSaver.h"
#include "FuzzChecks.h"
#include "NetworkGuard.h"
#include "PeerMessenger.h"
#include "PortForwarder.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestSettings.h"
#include "TimerManager.h"

#include <QHostAddress>
#include <QList>
#include <QTcpSocket>

#include <cstdio>
#include <cstdlib>

namespace
{
char g_programName[] = "fuzz";

void OnQtMessage(QtMsgType i_type, const QMessageLogContext&, const QString& i_message)
{
    if (i_type != QtCriticalMsg && i_type != QtFatalMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(i_message));
    if (i_type == QtFatalMsg)
        std::abort();
}

void CloseHandedOverSocket(QTcpSocket* ip_socket)
{
    ip_socket->close();
    ip_socket->deleteLater();
}
} // namespace

FuzzClient& FuzzClient::Instance()
{
    // Never destroyed: the services outlive every input, and libFuzzer may exit from anywhere.
    static FuzzClient* sp_client = []
    {
        qInstallMessageHandler(OnQtMessage);
        return new FuzzClient();
    }();
    return *sp_client;
}

FuzzClient::FuzzClient() : m_argv{g_programName, nullptr}, m_application(m_argc, m_argv)
{
    gp_logSink = this;
    mp_timers = std::make_unique<TimerManager>();
    mp_timers->m_halfMinuteTimer.stop();
    mp_timers->m_fiveMinutesTimer.stop();
    mp_timers->m_hourTimer.stop();
    mp_dataSaver = std::make_unique<DataSaver>();
    TestSettings::Declare();
    // The settings are saved as the shell saves them.
    mp_dataSaver->AddSavedType("global");
    mp_dataSaver->AddSavedByConnectionType("global_value", "global");

    mp_central = std::make_unique<CentralStandIn>();
    AllowLoopbackPort(mp_central->Port());
    mp_server = std::make_unique<Server>(QHostAddress(QHostAddress::LocalHost).toString(),
                                         mp_central->Port());
    mp_server->CreateData();
    mp_peerMessenger = std::make_unique<PeerMessenger>();
    mp_peerMessenger->SetSteadyClock([this] { return m_clock; });
    mp_peerMessenger->SetListeningAddress(QHostAddress(QHostAddress::LocalHost));
    mp_node = std::make_unique<DNetManager>();
    mp_sharing = std::make_unique<SharedFoldersManager>();
    QObject::connect(mp_peerMessenger.get(), &PeerMessenger::FileConnectionRequested,
                     [](std::string, QTcpSocket* ip_socket, uint)
                     { CloseHandedOverSocket(ip_socket); });
    QObject::connect(mp_peerMessenger.get(), &PeerMessenger::FileConnectionAccepted,
                     [](std::string, QTcpSocket* ip_socket) { CloseHandedOverSocket(ip_socket); });
    portForwarder->UseFixedDevices({}, 0);
    mp_central->Watch(*mp_server);
    ResetStore();
}

void FuzzClient::ListenForPeers()
{
    if (mp_peerMessenger->ListeningPort() != 0)
        return;
    TestSettings::SetSetting("listening_port", 0);
    TestSettings::SetSetting("obfuscated_listening_port", 0);
    mp_peerMessenger->DataLoaded();
    if (mp_peerMessenger->ListeningPort() == 0 || mp_peerMessenger->ObfuscatedListeningPort() == 0)
        qFatal("fuzz client: the messenger cannot listen on 127.0.0.1");
    AllowLoopbackPort(mp_peerMessenger->ListeningPort());
    AllowLoopbackPort(mp_peerMessenger->ObfuscatedListeningPort());
}

void FuzzClient::LogIn()
{
    if (mp_central->ClientState() == 2)
        return;
    mp_central->Close();
    Require(mp_central->Open() && mp_central->AcceptLogin(), "the client logs in");
}

void FuzzClient::EndDistributedConnections()
{
    QList<QTcpSocket*> l_sockets;
    for (const char* lp_type : {"dnet_child", "dnet_parent_candidate"})
        for (Item* lp_item : d.GetType(lp_type)->GetItems())
            l_sockets.append(ItemPtr(lp_item).AsPtr<QTcpSocket>());
    if (ItemPtr l_parent = d.GetType("dnet_global")->HasItem("dnet_parent_socket")["dnet_value"])
        l_sockets.append(l_parent.AsPtr<QTcpSocket>());
    for (QTcpSocket* lp_socket : l_sockets)
        lp_socket->abort();
}

void FuzzClient::ClearStore()
{
    EndDistributedConnections();
    mp_node->OnDNetParentMinSpeed(-1);
    mp_node->OnDNetParentSpeedConnectionRatio(-1);
    // The peer layer's work in progress ends as after an hour without news: its expiry pass
    // closes and forgets what it holds, and the sockets it let go are deleted.
    m_clock += 3600000;
    mp_peerMessenger->EveryHalfMinute();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    d.RemoveAllItems();
    // As at a login with an empty store: no parent, and no report of capacity for children yet.
    mp_node->OnConnected();
}

void FuzzClient::ResetStore()
{
    ClearStore();
    TestSettings::SetSetting("username", "fuzz");
    TestSettings::SetSetting("password", "secret");
    TestSettings::SetSetting("use_upnp", "no");
}

void FuzzClient::Log(const QString&, int, const QString&, ItemPtr) {}
