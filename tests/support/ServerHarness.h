#pragma once

#include "LogSink.h"
#include "TestServer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>

#include <memory>

class DataSaver;
class PeerMessenger;
class Server;
class TimerManager;

// What the tests of the server connection share, made once per test program: the timers (stopped:
// tests fire the periodic slots themselves), the data saver, the settings, a TestServer on
// 127.0.0.1 that only records unless a test asks it to answer, the client's Server pointed at it
// with its vocabulary declared, and the peer vocabulary. It also takes the log lines.
class ServerHarness : public QObject, public LogSink
{
    Q_OBJECT

public:
    ServerHarness();
    ~ServerHarness() override;

    TestServer& Central() { return *mp_central; }
    // The test server goes down and a new one, knowing nothing of the old one's users, listens on
    // the same port, answering as the old one did.
    void RestartCentral();
    Server& Client() { return *mp_server; }

    // The client's connection state as its signals tell it: 0, 1 (login pending) or 2.
    int ClientState() const { return m_clientState; }

    // Stores the credentials, connects and waits for the login frame; returns the connection on
    // the TestServer, or 0 when no login came.
    int ConnectAndAwaitLogin(const QByteArray& i_user, const QByteArray& i_password);
    // The same, then accepts the login and waits for Connected; returns the connection or 0.
    int LogIn(const QByteArray& i_user = QByteArrayLiteral("me"),
              const QByteArray& i_password = QByteArrayLiteral("secret"));
    // The fields of an accepted login reply.
    static QByteArray AcceptedLogin();

    // Sends one frame, then a marker frame, and returns once the client has handled the marker,
    // so that the frame was handled before; false when the marker never came.
    bool Deliver(int i_connection, quint32 i_code, const QByteArray& i_fields);
    // The same for bytes that may hold any number of frames.
    bool DeliverRaw(int i_connection, const QByteArray& i_bytes);
    // Every frame the client sent since the last call (or since the connection opened), in order:
    // the client is made to send a marker request, which is waited for and left out.
    QList<TestServer::ReceivedFrame> SentFrames(int i_connection);

    // Ends every connection, clears the store and the log lines, and stores use_upnp "no" so
    // that no test reaches for a gateway.
    void Reset();

    // The log lines of a category, in order.
    QStringList LogLines(const QString& i_category) const;
    void Log(const QString& i_category, int i_level, const QString& i_message,
             ItemPtr i_item) override;

private:
    std::unique_ptr<TimerManager> mp_timers;
    std::unique_ptr<DataSaver> mp_dataSaver;
    std::unique_ptr<TestServer> mp_central;
    std::unique_ptr<Server> mp_server;
    std::unique_ptr<PeerMessenger> mp_peerMessenger;
    int m_clientState = 0;
    qint32 m_lastReport = 0;
    qint32 m_nextMarker = 0x5eed0000;
    QList<QPair<QString, QString>> m_logLines;
};
