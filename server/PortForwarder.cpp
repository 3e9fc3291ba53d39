#include "PortForwarder.h"

#include "Log.h"

#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

PortForwarder* portForwarder = nullptr;

namespace
{
// The dotted IPv4 address of the local end of the socket's connection; empty when it has none.
QString LocalIPv4Address(QTcpSocket* ip_socket)
{
    if (!ip_socket || ip_socket->socketDescriptor() < 0)
        return QString();

    sockaddr_storage l_storage;
    socklen_t l_length = sizeof l_storage;
    if (getsockname(static_cast<int>(ip_socket->socketDescriptor()),
                    reinterpret_cast<sockaddr*>(&l_storage), &l_length) != 0)
        return QString();

    in_addr l_address;
    if (l_storage.ss_family == AF_INET)
    {
        l_address = reinterpret_cast<const sockaddr_in*>(&l_storage)->sin_addr;
    }
    else if (l_storage.ss_family == AF_INET6)
    {
        // A dual-stack socket connected to an IPv4 host carries the address mapped into IPv6.
        const in6_addr& l_address6 = reinterpret_cast<const sockaddr_in6*>(&l_storage)->sin6_addr;
        if (!IN6_IS_ADDR_V4MAPPED(&l_address6))
            return QString();
        std::memcpy(&l_address, l_address6.s6_addr + 12, sizeof l_address);
    }
    else
    {
        return QString();
    }
    return QString::fromLatin1(inet_ntoa(l_address));
}
} // namespace

PortForwarder::PortForwarder()
{
    portForwarder = this;
    m_thread.setObjectName(QStringLiteral("UPnP"));
    m_worker.moveToThread(&m_thread);
    connect(&m_worker, &ThreadedServices::LinesReady, this, &PortForwarder::LogLines,
            Qt::QueuedConnection);
    m_thread.start();
}

PortForwarder::~PortForwarder()
{
    m_worker.Stop();
    m_thread.exit(0);
    m_thread.wait();
    if (portForwarder == this)
        portForwarder = nullptr;
}

void PortForwarder::Init()
{
    QMetaObject::invokeMethod(
        &m_worker, [lp_worker = &m_worker] { lp_worker->Init(); }, Qt::QueuedConnection);
}

void PortForwarder::AddPortMapping(QTcpSocket* ip_socket, int i_port)
{
    const QString l_address = LocalIPv4Address(ip_socket);
    if (l_address.isEmpty())
    {
        LogLines({QStringLiteral("Own address not found, port %1 not mapped.").arg(i_port)});
        return;
    }
    QMetaObject::invokeMethod(
        &m_worker,
        [lp_worker = &m_worker, l_address, i_port]
        { lp_worker->AddPortMapping(l_address, i_port); },
        Qt::QueuedConnection);
}

void PortForwarder::RemovePortMapping(int i_port)
{
    QMetaObject::invokeMethod(
        &m_worker, [lp_worker = &m_worker, i_port] { lp_worker->RemovePortMapping(i_port); },
        Qt::QueuedConnection);
}

void PortForwarder::UseDiscovery(ThreadedServices::Discovery i_discovery)
{
    QMetaObject::invokeMethod(
        &m_worker, [lp_worker = &m_worker, i_discovery] { lp_worker->UseDiscovery(i_discovery); },
        Qt::QueuedConnection);
}

void PortForwarder::UseFixedDevices(const QList<ThreadedServices::Device>& i_devices, int i_error)
{
    UseDiscovery(
        [i_devices, i_error](int* op_error)
        {
            *op_error = i_error;
            return i_devices;
        });
}

void PortForwarder::LogLines(QStringList i_lines)
{
    for (const QString& l_line : i_lines)
        Log(QStringLiteral("Port Forwarding"), 1, l_line);
}
