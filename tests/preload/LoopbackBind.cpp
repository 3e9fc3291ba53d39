// Preloaded into the client programs the tests start: a socket bound to every address is bound
// to the loopback address instead, so that a test's client is never reachable from outside.
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

extern "C" int bind(int i_socket, const sockaddr* ip_address, socklen_t i_length)
{
    using Bind = int (*)(int, const sockaddr*, socklen_t);
    static const Bind lp_bind = reinterpret_cast<Bind>(dlsym(RTLD_NEXT, "bind"));
    if (ip_address && ip_address->sa_family == AF_INET && i_length >= sizeof(sockaddr_in))
    {
        sockaddr_in l_address = *reinterpret_cast<const sockaddr_in*>(ip_address);
        if (l_address.sin_addr.s_addr == htonl(INADDR_ANY))
            l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return lp_bind(i_socket, reinterpret_cast<const sockaddr*>(&l_address), sizeof l_address);
    }
    if (ip_address && ip_address->sa_family == AF_INET6 && i_length >= sizeof(sockaddr_in6))
    {
        sockaddr_in6 l_address = *reinterpret_cast<const sockaddr_in6*>(ip_address);
        if (IN6_IS_ADDR_UNSPECIFIED(&l_address.sin6_addr))
            l_address.sin6_addr = in6addr_loopback;
        return lp_bind(i_socket, reinterpret_cast<const sockaddr*>(&l_address), sizeof l_address);
    }
    return lp_bind(i_socket, ip_address, i_length);
}
