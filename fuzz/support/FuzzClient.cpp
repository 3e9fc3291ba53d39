#include "FuzzClient.h"

#include "CentralStandIn.h"
#include "Data.h"
#include "DataSaver.h"
#include "NetworkGuard.h"
#include "PeerMessenger.h"
#include "PortForwarder.h"
#include "Server.h"
#include "TestSettings.h"
#include "TimerManager.h"

#include <QHostAddress>

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
    portForwarder->UseFixedDevices({}, 0);
    mp_central->Watch(*mp_server);
    ResetStore();
}

void FuzzClient::ClearStore()
{
    // The peer layer's work in progress ends as after an hour without news: its expiry pass
    // closes and forgets what it holds, and the sockets it let go are deleted.
    m_clock += 3600000;
    mp_peerMessenger->EveryHalfMinute();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    d.RemoveAllItems();
}

void FuzzClient::ResetStore()
{
    ClearStore();
    TestSettings::SetSetting("username", "fuzz");
    TestSettings::SetSetting("password", "secret");
    TestSettings::SetSetting("use_upnp", "no");
}

void FuzzClient::Log(const QString&, int, const QString&, ItemPtr) {}
