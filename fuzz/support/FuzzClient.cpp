#include "FuzzClient.h"

#include "CentralStandIn.h"
#include "DNetManager.h"
#include "DataSaver.h"
#include "NetworkGuard.h"
#include "PeerMessenger.h"
#include "PortForwarder.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestSettings.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "TransferThread.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QTcpSocket>

namespace
{
char g_programName[] = "fuzz";

// The levels between the temporary folder and the download folder: a path that climbs out of the
// download folder by up to this many levels lands where ClearStore looks.
const char* const downloadFolderLevels[] = {"1", "2", "3", "downloads"};
// Transfer threads notice a stop request and a silent peer this soon.
constexpr int transferWaitMs = 100;

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

QString FuzzClient::TemporaryTemplate(const char* ip_name)
{
    const QString l_memory = QStringLiteral("/dev/shm");
    return (QDir(l_memory).exists() ? l_memory : QDir::tempPath()) + QLatin1Char('/') +
           QLatin1String(ip_name) + QStringLiteral("-XXXXXX");
}

void FuzzClient::WriteInput(const QString& i_path, const std::uint8_t* ip_data, std::size_t i_size)
{
    QFile l_file(i_path);
    Require(l_file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                l_file.write(reinterpret_cast<const char*>(ip_data), qint64(i_size)) ==
                    qint64(i_size),
            "the input is written to a file");
}

FuzzClient::FuzzClient()
    : m_argv{g_programName, nullptr}, m_application(m_argc, m_argv),
      m_folder(TemporaryTemplate("fuzz-client"))
{
    Require(m_folder.isValid(), "a temporary folder");
    m_downloadFolder = m_folder.path();
    for (const char* lp_level : downloadFolderLevels)
        m_downloadFolder += QLatin1Char('/') + QLatin1String(lp_level);
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
    mp_transfers = std::make_unique<TransferQueueManager>();
    mp_sharing->SetUploadStateProvider(&TransferQueueManager::CurrentUploadState);
    TransferThread::SetWaitMilliseconds(transferWaitMs);
    portForwarder->UseFixedDevices({}, 0);
    mp_central->Watch(*mp_server);
    ResetStore();
}

void FuzzClient::ListenForPeers()
{
    if (mp_peerMessenger->ListeningPort() == 0)
    {
        TestSettings::SetSetting("listening_port", 0);
        TestSettings::SetSetting("obfuscated_listening_port", 0);
        mp_peerMessenger->DataLoaded();
        Require(mp_peerMessenger->ListeningPort() != 0 &&
                    mp_peerMessenger->ObfuscatedListeningPort() != 0,
                "the messenger listens on 127.0.0.1");
        AllowLoopbackPort(mp_peerMessenger->ListeningPort());
        AllowLoopbackPort(mp_peerMessenger->ObfuscatedListeningPort());
    }
    ResetStore();
}

void FuzzClient::LogIn()
{
    if (mp_central->ClientState() == 2)
        return;
    mp_central->Close();
    Require(mp_central->Open() && mp_central->AcceptLogin(), "the client logs in");
}

void FuzzClient::ClearStore()
{
    for (Item* lp_download : d.GetType("download_entry")->GetItems())
        mp_transfers->RemoveDownload(lp_download);
    for (Item* lp_upload : d.GetType("upload_entry")->GetItems())
        mp_transfers->RemoveUpload(lp_upload);
    // What the ended threads reported last names no transfer now.
    QCoreApplication::processEvents();
    // A name from a peer that climbed out of the download folder shows on the way down to it.
    QString l_folder = m_folder.path();
    for (const char* lp_level : downloadFolderLevels)
    {
        const QStringList l_entries = QDir(l_folder).entryList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        Require(l_entries.isEmpty() || l_entries == QStringList{QLatin1String(lp_level)},
                "no file is made outside the download folder");
        l_folder += QLatin1Char('/') + QLatin1String(lp_level);
    }
    QDir(m_downloadFolder).removeRecursively();

    // Each distributed socket's closing handler runs, so the node forgets it and deletes it later.
    QList<QTcpSocket*> l_sockets;
    for (const char* lp_type : {"dnet_child", "dnet_parent_candidate"})
        for (Item* lp_item : d.GetType(lp_type)->GetItems())
            l_sockets.append(ItemPtr(lp_item).AsPtr<QTcpSocket>());
    if (ItemPtr l_parent = d.GetType("dnet_global")->HasItem("dnet_parent_socket")["dnet_value"])
        l_sockets.append(l_parent.AsPtr<QTcpSocket>());
    for (QTcpSocket* lp_socket : l_sockets)
        lp_socket->abort();
    mp_node->OnDNetParentMinSpeed(-1);
    mp_node->OnDNetParentSpeedConnectionRatio(-1);
    // A file list still being built is sent now, so that what it leaves waiting expires below.
    mp_sharing->FinishFileLists();
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
    TestSettings::SetSetting("download_folder", m_downloadFolder);
    TestSettings::SetSetting("upload_slots", 1);
}

void FuzzClient::Log(const QString&, int, const QString&, ItemPtr) {}
