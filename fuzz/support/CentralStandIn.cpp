#include "CentralStandIn.h"

#include "MemStream.h"
#include "Server.h"

#include "FuzzChecks.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <string>

CentralStandIn::CentralStandIn()
{
    if (!m_listener.listen(QHostAddress::LocalHost, 0))
        qFatal("central stand-in: cannot listen on 127.0.0.1");
}

CentralStandIn::~CentralStandIn()
{
    delete mp_connection;
}

void CentralStandIn::Watch(Server& i_server)
{
    mp_server = &i_server;
    connect(&i_server, &Server::Connecting, this, [this] { m_clientState = 1; });
    connect(&i_server, &Server::Connected, this, [this] { m_clientState = 2; });
    connect(&i_server, &Server::Disconnected, this, [this] { m_clientState = 0; });
    connect(&i_server, &Server::ConnectionFailed, this, [this] { m_clientState = 0; });
}

bool CentralStandIn::Open()
{
    if (m_clientState != 0 || mp_connection)
        return false;
    mp_server->Connect();
    // Peer connections that fuzzed messages aimed at this port wait here too: the client's
    // connection is the one whose first frame is a login (code 1). A peer's first message begins
    // with its direction byte and then a token or the length of the client's name, which is not
    // empty: it never reads as that code.
    while (!mp_connection)
    {
        if (!WaitUntil([this] { return m_listener.hasPendingConnections(); }))
            return false;
        QTcpSocket* lp_connection = m_listener.nextPendingConnection();
        WaitUntil(
            [lp_connection] {
                return HasFrame(*lp_connection) ||
                       lp_connection->state() != QAbstractSocket::ConnectedState;
            });
        if (HasFrame(*lp_connection) && FrameCode(*lp_connection) == 1)
            mp_connection = lp_connection;
        else
            Reset(lp_connection);
    }
    return true;
}

bool CentralStandIn::AcceptLogin()
{
    // Code 1: accepted, a greeting, the client's address and a password hash.
    MemStream l_body;
    l_body.Write(quint32(1));
    l_body.Write(quint8(1));
    l_body.Write(std::string("hello"));
    l_body.Write(quint32(0x0100007f));
    l_body.Write(std::string(32, '0'));
    QByteArray l_frame(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(l_body.GetPendingReadLength()), l_frame.data());
    l_frame.append(l_body.GetReadBuffer(), l_body.GetPendingReadLength());
    Send(l_frame.constData(), l_frame.size());
    return WaitUntil([this] { return m_clientState == 2; });
}

void CentralStandIn::Send(const char* ip_bytes, qsizetype i_size)
{
    if (!mp_connection)
        return;
    mp_connection->write(ip_bytes, i_size);
    mp_connection->flush();
    // On loopback the bytes are at the client's socket once written: one pass of the event loop
    // lets it read them, the next delivers what its handlers queued.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    mp_connection->readAll();
}

void CentralStandIn::Drain()
{
    QCoreApplication::processEvents();
    if (mp_connection)
        mp_connection->readAll();
}

bool CentralStandIn::Close()
{
    if (mp_connection)
    {
        Reset(mp_connection);
        mp_connection = nullptr;
    }
    return WaitUntil([this] { return m_clientState == 0; });
}

void CentralStandIn::Reset(QTcpSocket* ip_connection)
{
    ResetOnClose(int(ip_connection->socketDescriptor()));
    ip_connection->abort();
    delete ip_connection;
}

bool CentralStandIn::HasFrame(QTcpSocket& i_connection)
{
    uchar l_length[4];
    return i_connection.peek(reinterpret_cast<char*>(l_length), 4) == 4 &&
           i_connection.bytesAvailable() >= 4 + qFromLittleEndian<quint32>(l_length);
}

quint32 CentralStandIn::FrameCode(QTcpSocket& i_connection)
{
    uchar l_start[8];
    if (i_connection.peek(reinterpret_cast<char*>(l_start), 8) != 8)
        return 0;
    return qFromLittleEndian<quint32>(l_start + 4);
}
