#include "NetworkGuard.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
// Port 0 marks a free place.
std::array<std::atomic<quint16>, 8> g_allowedPorts{};

bool IsAllowed(const sockaddr* ip_address, socklen_t i_length)
{
    if (ip_address == nullptr || ip_address->sa_family == AF_UNIX ||
        ip_address->sa_family == AF_UNSPEC)
        return true;
    if (ip_address->sa_family != AF_INET || i_length < socklen_t(sizeof(sockaddr_in)))
        return false;
    const sockaddr_in* lp_address = reinterpret_cast<const sockaddr_in*>(ip_address);
    const quint16 l_port = ntohs(lp_address->sin_port);
    if (lp_address->sin_addr.s_addr != htonl(INADDR_LOOPBACK) || l_port == 0)
        return false;
    for (const std::atomic<quint16>& l_allowed : g_allowedPorts)
        if (l_allowed.load() == l_port)
            return true;
    return false;
}
} // namespace

void AllowLoopbackPort(quint16 i_port)
{
    for (std::atomic<quint16>& l_allowed : g_allowedPorts)
    {
        quint16 l_free = 0;
        if (l_allowed.load() == i_port || l_allowed.compare_exchange_strong(l_free, i_port))
            return;
    }
    qFatal("network guard: too many allowed ports");
}

// Takes the place of the C library's connect() for the whole process, Qt's sockets included.
extern "C" int connect(int i_socket, const sockaddr* ip_address, socklen_t i_length)
{
    if (!IsAllowed(ip_address, i_length))
    {
        errno = ECONNREFUSED;
        return -1;
    }
    return int(::syscall(SYS_connect, i_socket, ip_address, i_length));
}
