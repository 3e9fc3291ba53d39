#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>

#include <miniupnpc/miniupnpc.h>

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

    ThreadedServices();
    ~ThreadedServices() override;

    // From now on discovery does not search the network but finds these devices, in this order;
    // with none it fails with the error code. Tests use it: no multicast may leave the machine.
    void UseFixedDevices(const QList<Device>& i_devices, int i_error);

public slots:
    void Init();
    void AddPortMapping(QString i_address, int i_port);
    void RemovePortMapping(int i_port);

signals:
    void LinesReady(QStringList i_lines);

private:
    QList<Device> Discover(int* op_error);
    // A gateway was described and it offers a WAN connection service to map ports with.
    bool HasGateway() const;
    void ClearGateway();

    bool m_initialized = false;
    IGDdatas m_data;
    UPNPUrls m_urls;
    std::optional<QList<Device>> m_fixedDevices;
    int m_fixedError = 0;
};
