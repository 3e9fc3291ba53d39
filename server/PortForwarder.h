#pragma once

#include "ThreadedServices.h"

#include <QObject>
#include <QStringList>
#include <QThread>

class QTcpSocket;

// Asks the local internet gateway, over UPnP, to forward the listening ports to this client.
// Every operation returns at once: the blocking work runs in order on the worker's thread, and
// its log lines come back to the "Port Forwarding" page.
class PortForwarder : public QObject
{
    Q_OBJECT

public:
    PortForwarder();
    // Does not wait for a discovery under way: shut-down would wait seconds for its end.
    ~PortForwarder() override;

    // Discovers the gateway; only the first call of a run does anything.
    void Init();
    // Maps the port, outside and inside, to the local IPv4 address of the socket's connection.
    void AddPortMapping(QTcpSocket* ip_socket, int i_port);
    void RemovePortMapping(int i_port);

    // Discovery runs this instead of searching the network (tests: no multicast may leave the
    // machine). Takes effect for the calls queued after it.
    void UseDiscovery(ThreadedServices::Discovery i_discovery);
    // Discovery finds these devices, or fails with the error code when there are none.
    void UseFixedDevices(const QList<ThreadedServices::Device>& i_devices, int i_error);

public slots:
    void LogLines(QStringList i_lines);

private:
    QThread m_thread;
    ThreadedServices m_worker;
};

extern PortForwarder* portForwarder;
