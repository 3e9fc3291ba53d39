#pragma once

#include "LogSink.h"

#include <QCoreApplication>

#include <memory>

class CentralStandIn;
class DNetManager;
class DataSaver;
class PeerMessenger;
class Server;
class SharedFoldersManager;
class TimerManager;

// The client's services as the application shell creates them, for the targets whose decoders
// work on the store or the server connection: the application object, the timers (stopped, so
// that nothing periodic runs between inputs), the data saver, the settings, the Server aimed at
// a central stand-in on 127.0.0.1 with its vocabulary declared, the peer messenger (listening,
// when the data file says so or a target asks, on 127.0.0.1 only; connections elsewhere are
// refused: see NetworkGuard.h), the distributed network node and the sharing service. File
// connections that the messenger hands over are closed at once, as the transfer service would
// close connections it cannot use. Log lines and Qt's non-fatal messages are dropped: inputs make
// many of them.
class FuzzClient : public LogSink
{
public:
    // Made on first use and kept for the life of the process.
    static FuzzClient& Instance();

    Server& Client() { return *mp_server; }
    CentralStandIn& Central() { return *mp_central; }
    PeerMessenger& Messenger() { return *mp_peerMessenger; }
    DNetManager& Node() { return *mp_node; }

    // Has the messenger listen on free ports of 127.0.0.1 and lets connections reach them there.
    // Only the first call binds.
    void ListenForPeers();
    // Has the client log in at the central stand-in, unless it is logged in already.
    void LogIn();

    // Ends the peer layer's and the distributed node's connections and work in progress and
    // removes every item, as the store held nothing before the input. The node forgets the
    // server's numbers and what it last reported, as before its first login.
    void ClearStore();
    // The same, then stores the settings the services read: a user name and password, and no
    // UPnP (nothing may leave the machine).
    void ResetStore();

    void Log(const QString& i_category, int i_level, const QString& i_message,
             ItemPtr i_item) override;

private:
    FuzzClient();

    // Each socket's closing handler runs, so the node forgets it and deletes it later.
    void EndDistributedConnections();

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
    // The peer layer's steady clock: only ResetStore moves it.
    qint64 m_clock = 0;
};
