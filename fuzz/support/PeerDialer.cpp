#include "PeerDialer.h"

#include "Data.h"
#include "NetworkGuard.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// Everything happens on loopback: far longer than any step takes.
constexpr int waitMs = 10000;
int g_listener = -1;

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
        sockaddr_in l_address{};
        l_address.sin_family = AF_INET;
        l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    const QDeadlineTimer l_deadline(waitMs);
    for (;;)
    {
        if (m_socket < 0)
            m_socket = ::accept4(g_listener, nullptr, nullptr, SOCK_NONBLOCK);
        // The client's first message, or the end of a connection that it handed over and closed.
        char l_byte;
        if (m_socket >= 0 && (::recv(m_socket, &l_byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0 ||
                              (errno != EAGAIN && errno != EWOULDBLOCK)))
        {
            Discard();
            return true;
        }
        if (l_deadline.hasExpired())
        {
            Close();
            return false;
        }
        QCoreApplication::processEvents();
    }
}

bool PeerDialer::Dial(quint16 i_port)
{
    Close();
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (m_socket < 0)
        return false;
    sockaddr_in l_address{};
    l_address.sin_family = AF_INET;
    l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    l_address.sin_port = htons(i_port);
    // A non-blocking connect on loopback is in the listener's queue once the call returns.
    if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&l_address), sizeof l_address) != 0 &&
        errno != EINPROGRESS)
    {
        Close();
        return false;
    }
    socklen_t l_length = sizeof l_address;
    if (::getsockname(m_socket, reinterpret_cast<sockaddr*>(&l_address), &l_length) != 0)
    {
        Close();
        return false;
    }
    const quint16 l_localPort = ntohs(l_address.sin_port);
    const QDeadlineTimer l_deadline(waitMs);
    while (!Accepted(l_localPort))
    {
        if (l_deadline.hasExpired())
        {
            Close();
            return false;
        }
        QCoreApplication::processEvents();
    }
    return true;
}

void PeerDialer::Send(const char* ip_bytes, qsizetype i_size)
{
    qsizetype l_sent = 0;
    const QDeadlineTimer l_deadline(waitMs);
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
    const linger l_reset{1, 0};
    ::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, &l_reset, sizeof l_reset);
    ::close(m_socket);
    m_socket = -1;
}
