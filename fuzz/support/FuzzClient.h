#pragma once

#include "LogSink.h"

#include <QCoreApplication>

#include <memory>

class CentralStandIn;
class DataSaver;
class PeerMessenger;
class Server;
class TimerManager;

// The client's services as the application shell creates them, for the targets whose decoders
// work on the store or the server connection: the application object, the timers (stopped, so
// that nothing periodic runs between inputs), the data saver, the settings, the Server aimed at
// a central stand-in on 127.0.0.1 with its vocabulary declared, and the peer messenger (listening,
// when the data file says so, on 127.0.0.1 only; connections elsewhere are refused: see
// NetworkGuard.h). Log lines and Qt's non-fatal messages are dropped: inputs make many of them.
class FuzzClient : public LogSink
{
public:
    // Made on first use and kept for the life of the process.
    static FuzzClient& Instance();

    Server& Client() { return *mp_server; }
    CentralStandIn& Central() { return *mp_central; }

    // Ends the peer layer's work in progress and removes every item, as the store held nothing
    // before the input.
    void ClearStore();
    // The same, then stores the settings the services read: a user name and password, and no
    // UPnP (nothing may leave the machine).
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
    // The peer layer's steady clock: only ResetStore moves it.
    qint64 m_clock = 0;
};
