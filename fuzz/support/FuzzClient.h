#pragma once

// What the targets that work on the store use besides.
#include "Data.h"
#include "FuzzChecks.h"
#include "LogSink.h"
#include "MemStream.h"

#include <QTemporaryDir>

#include <memory>

class CentralStandIn;
class DNetManager;
class DataSaver;
class PeerMessenger;
class Server;
class SharedFoldersManager;
class TimerManager;
class TransferQueueManager;

// The client's services as the application shell creates them, with the timers stopped so that
// nothing periodic runs between inputs: the Server aims at a central stand-in on 127.0.0.1, the
// peer messenger listens there only (see NetworkGuard.h), and downloads go to a folder deep inside
// a temporary folder. Log lines and Qt's non-fatal messages are dropped: inputs make many.
class FuzzClient : public LogSink
{
public:
    // Made on first use and kept for the life of the process.
    static FuzzClient& Instance();
    // A template for QTemporaryDir named after the target, in memory where the machine has it:
    // targets that write files for every input then cost no disk.
    static QString TemporaryTemplate(const char* ip_name);
    // Writes the input to the file, in place of what it held.
    static void WriteInput(const QString& i_path, const std::uint8_t* ip_data, std::size_t i_size);

    Server& Client() { return *mp_server; }
    CentralStandIn& Central() { return *mp_central; }
    PeerMessenger& Messenger() { return *mp_peerMessenger; }
    DNetManager& Node() { return *mp_node; }
    TransferQueueManager& Transfers() { return *mp_transfers; }
    // The download folder that ResetStore stores; ClearStore empties it.
    const QString& DownloadFolder() const { return m_downloadFolder; }

    // Has the messenger listen on free ports of 127.0.0.1 and lets connections reach them there
    // (only the first call binds), then resets the store.
    void ListenForPeers();
    // Has the client log in at the central stand-in, unless it is logged in already.
    void LogIn();

    // Ends the transfers, the peer layer's and the distributed node's connections and work in
    // progress and removes every item, as the store held nothing before the input; checks that
    // nothing was written outside the download folder, then empties it. The node forgets the
    // server's numbers and what it last reported, as before its first login.
    void ClearStore();
    // The same, then stores the settings the services read: a user name and password, no UPnP
    // (nothing may leave the machine), the download folder and one upload slot.
    void ResetStore();

    void Log(const QString& i_category, int i_level, const QString& i_message,
             ItemPtr i_item) override;

private:
    FuzzClient();

    int m_argc = 1;
    char* m_argv[2];
    QCoreApplication m_application;
    std::unique_ptr<TimerManager> mp_timers;
    std::unique_ptr<DataSaver> mp_dataSaver;
    std::unique_ptr<CentralStandIn> mp_central;
    std::unique_ptr<Server> mp_server;
    std::unique_ptr<PeerMessenger> mp_peerMessenger;
    std::unique_ptr<DNetManager> mp_node;
    std::unique_ptr<SharedFoldersManager> mp_sharing;
    std::unique_ptr<TransferQueueManager> mp_transfers;
    QTemporaryDir m_folder;
    QString m_downloadFolder;
    // The peer layer's steady clock: only ResetStore moves it.
    qint64 m_clock = 0;
};
