#include "ThreadedServices.h"

#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace
{
const int kDiscoveryWaitMs = 2000;
const unsigned char kDiscoveryTtl = 2;
const int kConflictInMappingEntry = 718;
const char kMappingDescription[] = "BrindlexQT";
const char kProtocol[] = "TCP";

QList<ThreadedServices::Device> SearchNetwork(int* op_error)
{
    QList<ThreadedServices::Device> l_devices;
    UPNPDev* lp_list = upnpDiscover(kDiscoveryWaitMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0,
                                    kDiscoveryTtl, op_error);
    for (const UPNPDev* lp_device = lp_list; lp_device; lp_device = lp_device->pNext)
        l_devices.append(
            {QByteArray(lp_device->descURL), QByteArray(lp_device->st), lp_device->scope_id});
    freeUPNPDevlist(lp_list);
    return l_devices;
}
} // namespace

struct ThreadedServices::Shared
{
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopped = false;
    std::optional<QList<Device>> m_devices;
    int m_error = 0;
};

ThreadedServices::ThreadedServices()
    : m_discovery(SearchNetwork), mp_shared(std::make_shared<Shared>())
{
    std::memset(&m_data, 0, sizeof m_data);
    std::memset(&m_urls, 0, sizeof m_urls);
}

ThreadedServices::~ThreadedServices()
{
    FreeUPNPUrls(&m_urls);
}

void ThreadedServices::UseDiscovery(Discovery i_discovery)
{
    m_discovery = std::move(i_discovery);
}

void ThreadedServices::Stop()
{
    const std::lock_guard l_lock(mp_shared->m_mutex);
    mp_shared->m_stopped = true;
    mp_shared->m_changed.notify_all();
}

bool ThreadedServices::Stopped() const
{
    const std::lock_guard l_lock(mp_shared->m_mutex);
    return mp_shared->m_stopped;
}

void ThreadedServices::Init()
{
    if (m_initialized || Stopped())
        return;

    QStringList l_lines;
    l_lines << QStringLiteral("Initializing UPnP");
    ClearGateway();

    int l_error = 0;
    const std::optional<QList<Device>> l_found = Discover(&l_error);
    if (!l_found)
        return;
    const QList<Device>& l_devices = *l_found;
    if (l_devices.isEmpty())
    {
        l_lines << QStringLiteral("No device list found during discovery. miniupnp error code: %1")
                       .arg(l_error);
    }
    else
    {
        l_lines << QStringLiteral("Device list found");

        const Device* lp_chosen = nullptr;
        for (const Device& l_device : l_devices)
        {
            if (l_device.m_type.contains("InternetGatewayDevice"))
            {
                l_lines << QStringLiteral("%1, InternetGatewayDevice, found")
                               .arg(QString::fromLatin1(l_device.m_descriptionUrl));
                lp_chosen = &l_device;
                break;
            }
            l_lines << QStringLiteral("%1, %2 skipping")
                           .arg(QString::fromLatin1(l_device.m_descriptionUrl),
                                QString::fromLatin1(l_device.m_type));
        }
        if (!lp_chosen)
        {
            lp_chosen = &l_devices.first();
            l_lines << QStringLiteral("Defaulting to first device found, %1")
                           .arg(QString::fromLatin1(lp_chosen->m_type));
        }

        int l_size = 0;
        int l_status = 0;
        char* lp_description = static_cast<char*>(miniwget(
            lp_chosen->m_descriptionUrl.constData(), &l_size, lp_chosen->m_scopeId, &l_status));
        if (lp_description)
        {
            parserootdesc(lp_description, l_size, &m_data);
            std::free(lp_description);
            GetUPNPUrls(&m_urls, &m_data, lp_chosen->m_descriptionUrl.constData(),
                        lp_chosen->m_scopeId);
            l_lines << QStringLiteral("Device XML found.");
        }
        else
        {
            l_lines << QStringLiteral("Device XML not found.");
        }
    }

    m_initialized = true;
    emit LinesReady(l_lines);
}

void ThreadedServices::AddPortMapping(QString i_address, int i_port)
{
    if (Stopped())
        return;
    const QByteArray l_port = QByteArray::number(i_port);
    const QByteArray l_address = i_address.toLatin1();

    QStringList l_lines;
    l_lines << QStringLiteral("Found own address to be %1").arg(i_address);

    // Without a described gateway there is no control address: the library must not be called.
    const auto l_request = [&]
    {
        if (!HasGateway())
            return UPNPCOMMAND_INVALID_ARGS;
        return UPNP_AddPortMapping(m_urls.controlURL, m_data.first.servicetype, l_port.constData(),
                                   l_port.constData(), l_address.constData(), kMappingDescription,
                                   kProtocol, nullptr, nullptr);
    };

    const int l_result = l_request();
    if (l_result == UPNPCOMMAND_SUCCESS)
    {
        l_lines << QStringLiteral("Port %1 successfully mapped.").arg(i_port);
    }
    else if (l_result == kConflictInMappingEntry)
    {
        l_lines << QStringLiteral(
            "Port already mapped, attempting to remove existing mapping before retrying.");
        RemovePortMapping(i_port);
        const int l_second = l_request();
        if (l_second == UPNPCOMMAND_SUCCESS)
            l_lines << QStringLiteral("Second mapping attempt successful.");
        else if (l_second != kConflictInMappingEntry)
            l_lines << QStringLiteral("Second mapping attempt failed, miniupnp error: %1")
                           .arg(l_second);
    }
    else
    {
        l_lines << QStringLiteral("Port %1 mapping failure, miniupnp error: %2")
                       .arg(i_port)
                       .arg(l_result);
    }

    emit LinesReady(l_lines);
}

void ThreadedServices::RemovePortMapping(int i_port)
{
    if (Stopped())
        return;
    QStringList l_lines;
    l_lines << QStringLiteral("Removing mapping for port %1").arg(i_port);

    if (!HasGateway())
    {
        l_lines << QStringLiteral("UPnP appears to not have been initialized, aborting.");
    }
    else
    {
        const QByteArray l_port = QByteArray::number(i_port);
        const int l_result = UPNP_DeletePortMapping(m_urls.controlURL, m_data.first.servicetype,
                                                    l_port.constData(), kProtocol, nullptr);
        if (l_result == UPNPCOMMAND_SUCCESS)
            l_lines << QStringLiteral("Port mapping successfully removed.");
        else
            l_lines
                << QStringLiteral("Port mapping removal failed, miniupnp error: %1").arg(l_result);
    }

    emit LinesReady(l_lines);
}

std::optional<QList<ThreadedServices::Device>> ThreadedServices::Discover(int* op_error)
{
    // The search runs on a thread of its own, so that shut-down need not wait for its end: a
    // search left behind finishes alone, holding only the shared state.
    const auto l_search = [lp_shared = mp_shared, l_discovery = m_discovery]
    {
        int l_error = 0;
        QList<Device> l_devices = l_discovery(&l_error);
        const std::lock_guard l_lock(lp_shared->m_mutex);
        lp_shared->m_devices = std::move(l_devices);
        lp_shared->m_error = l_error;
        lp_shared->m_changed.notify_all();
    };
    try
    {
        std::thread(l_search).detach();
    }
    catch (const std::system_error&)
    {
        l_search();
    }

    std::unique_lock l_lock(mp_shared->m_mutex);
    mp_shared->m_changed.wait(l_lock,
                              [this] { return mp_shared->m_stopped || mp_shared->m_devices; });
    if (mp_shared->m_stopped)
        return std::nullopt;
    *op_error = mp_shared->m_error;
    return mp_shared->m_devices;
}

bool ThreadedServices::HasGateway() const
{
    return m_urls.controlURL && m_urls.controlURL[0] != '\0' && m_data.first.servicetype[0] != '\0';
}

void ThreadedServices::ClearGateway()
{
    FreeUPNPUrls(&m_urls);
    std::memset(&m_urls, 0, sizeof m_urls);
    std::memset(&m_data, 0, sizeof m_data);
}
