#pragma once

#include <QObject>
#include <QTcpServer>

class QTcpSocket;
class Server;

// The central server's end of the client's connection, on 127.0.0.1: it lets the client connect,
// writes to it with the event loop run after each write so that every write reaches the client
// as one read, and throws away whatever the client sends.
class CentralStandIn : public QObject
{
    Q_OBJECT

public:
    CentralStandIn();
    ~CentralStandIn() override;

    quint16 Port() const { return m_listener.serverPort(); }
    // Follows the client's connection state through its signals.
    void Watch(Server& i_server);
    // 0, 1 (login pending) or 2, as the client's signals tell it.
    int ClientState() const { return m_clientState; }

    // Has the client connect and waits for its login frame; false when none came. Connections
    // that do not begin with a login are reset.
    bool Open();
    // Sends the reply that accepts the login and waits until the client is logged in.
    bool AcceptLogin();
    // Writes the bytes at once and runs the event loop until the client has read them.
    void Send(const char* ip_bytes, qsizetype i_size);
    // Runs the event loop once and discards what the client sent.
    void Drain();
    // Resets the connection, as a lost network would, and waits until the client has noticed.
    bool Close();

private:
    static void Reset(QTcpSocket* ip_connection);
    // Whether a whole frame has arrived: its length word, then that many bytes.
    static bool HasFrame(QTcpSocket& i_connection);
    // The code of the first frame, 0 when it has none.
    static quint32 FrameCode(QTcpSocket& i_connection);

    QTcpServer m_listener;
    QTcpSocket* mp_connection = nullptr;
    Server* mp_server = nullptr;
    int m_clientState = 0;
};
