#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>

#include <miniupnpc/miniupnpc.h>

#include <functional>
#include <memory>
#include <optional>

// The blocking UPnP work of PortForwarder. It lives on a thread of its own, runs the queued
// calls one at a time, and hands the log lines of each call back with LinesReady. Everything
// here, the gateway state included, is touched only on that thread.
class ThreadedServices : public QObject
{
    Q_OBJECT

public:
    // One device that answered discovery.
    struct Device
    {
        QByteArray m_descriptionUrl;
        QByteArray m_type;
        unsigned int m_scopeId = 0;
    };

    // Searches for devices, setting the error code; it may block for seconds.
    using Discovery = std::function<QList<Device>(int* op_error)>;

    ThreadedServices();
    ~ThreadedServices() override;

    // From now on discovery runs this instead of searching the network. Tests use it: no
    // multicast may leave the machine.
    void UseDiscovery(Discovery i_discovery);

    // Called from any thread, at shut-down: a discovery under way is no longer waited for, and
    // the calls still to come do nothing.
    void Stop();

public slots:
    void Init();
    void AddPortMapping(QString i_address, int i_port);
    void RemovePortMapping(int i_port);

signals:
    void LinesReady(QStringList i_lines);

private:
    // What the worker and the thread that runs a discovery share; it outlives the worker when a
    // discovery is abandoned.
    struct Shared;

    bool Stopped() const;
    // The devices found, or none when stopped first.
    std::optional<QList<Device>> Discover(int* op_error);
    // A gateway was described and it offers a WAN connection service to map ports with.
    bool HasGateway() const;
    void ClearGateway();

    bool m_initialized = false;
    IGDdatas m_data;
    UPNPUrls m_urls;
    Discovery m_discovery;
    std::shared_ptr<Shared> mp_shared;
};
