#include "PeerDialer.h"

#include "Data.h"
#include "FuzzChecks.h"
#include "NetworkGuard.h"

#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <unistd.h>

namespace
{
int g_listener = -1;

sockaddr_in Loopback(quint16 i_port)
{
    sockaddr_in l_address{};
    l_address.sin_family = AF_INET;
    l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    l_address.sin_port = htons(i_port);
    return l_address;
}

// Whether the client has accepted the connection from this local port: the socket of one of its
// uninitialized socket items has it as its peer's port. Counting the items would not tell, as the
// client may be forgetting an earlier connection meanwhile.
bool Accepted(quint16 i_localPort)
{
    for (Item* lp_item : d.GetType("uninitialized_socket")->GetItems())
        if (ItemPtr(lp_item).AsPtr<QTcpSocket>()->peerPort() == i_localPort)
            return true;
    return false;
}

// One pass lets the client read what arrived, the next runs what its handlers queued (a socket
// handed to the distributed node is read from a queued call).
void LetTheClientRun()
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}
} // namespace

PeerDialer::~PeerDialer()
{
    Close();
}

quint16 PeerDialer::ListeningPort()
{
    static const quint16 s_port = []
    {
        const int l_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in l_address = Loopback(0);
        socklen_t l_length = sizeof l_address;
        if (l_listener < 0 ||
            ::bind(l_listener, reinterpret_cast<const sockaddr*>(&l_address), l_length) != 0 ||
            ::listen(l_listener, 16) != 0 ||
            ::getsockname(l_listener, reinterpret_cast<sockaddr*>(&l_address), &l_length) != 0)
            qFatal("peer dialer: cannot listen on 127.0.0.1");
        g_listener = l_listener;
        AllowLoopbackPort(ntohs(l_address.sin_port));
        return ntohs(l_address.sin_port);
    }();
    return s_port;
}

bool PeerDialer::Answer(const std::function<void()>& i_dial)
{
    Close();
    ListeningPort();
    while ((m_socket = ::accept4(g_listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0)
        Close();
    i_dial();
    const bool l_connected = WaitUntil(
        [this]
        {
            if (m_socket < 0)
                m_socket = ::accept4(g_listener, nullptr, nullptr, SOCK_NONBLOCK);
            // The client's first message, or the end of a connection that it handed over and
            // closed.
            char l_byte;
            return m_socket >= 0 && (::recv(m_socket, &l_byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0 ||
                                     (errno != EAGAIN && errno != EWOULDBLOCK));
        });
    if (l_connected)
        Discard();
    else
        Close();
    return l_connected;
}

bool PeerDialer::Dial(quint16 i_port)
{
    Close();
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in l_address = Loopback(i_port);
    socklen_t l_length = sizeof l_address;
    // A non-blocking connect on loopback is in the listener's queue once the call returns; then
    // the address is the local end's.
    const bool l_accepted =
        m_socket >= 0 &&
        (::connect(m_socket, reinterpret_cast<const sockaddr*>(&l_address), l_length) == 0 ||
         errno == EINPROGRESS) &&
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&l_address), &l_length) == 0 &&
        WaitUntil([&l_address] { return Accepted(ntohs(l_address.sin_port)); });
    if (!l_accepted)
        Close();
    return l_accepted;
}

void PeerDialer::Send(const char* ip_bytes, qsizetype i_size)
{
    qsizetype l_sent = 0;
    const QDeadlineTimer l_deadline(10000);
    while (m_socket >= 0 && l_sent < i_size)
    {
        const ssize_t l_written = ::send(m_socket, ip_bytes + l_sent, std::size_t(i_size - l_sent),
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (l_written > 0)
            l_sent += l_written;
        else if ((errno == EAGAIN || errno == EWOULDBLOCK) && !l_deadline.hasExpired())
        {
            // The client's buffers are full: it reads when the event loop runs.
            QCoreApplication::processEvents();
            Discard();
        }
        else
            Close();
    }
    LetTheClientRun();
    Discard();
}

void PeerDialer::Drain()
{
    QCoreApplication::processEvents();
    Discard();
}

void PeerDialer::Discard()
{
    char l_scratch[65536];
    while (m_socket >= 0)
    {
        const ssize_t l_read = ::recv(m_socket, l_scratch, sizeof l_scratch, MSG_DONTWAIT);
        if (l_read > 0)
            continue;
        if (l_read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // The client closed or reset the connection.
        Close();
    }
}

void PeerDialer::Close()
{
    if (m_socket < 0)
        return;
    ResetOnClose(m_socket);
    ::close(m_socket);
    m_socket = -1;
}
