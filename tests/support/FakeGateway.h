#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>

#include <map>

class QTcpServer;
class QTcpSocket;

// A UPnP internet gateway for tests, on 127.0.0.1: it serves a root description of a gateway
// device with a WAN IP connection service and answers that service's AddPortMapping and
// DeletePortMapping requests, over minimal HTTP (one request per connection). Every request
// is kept for the test to examine.
class FakeGateway : public QObject
{
    Q_OBJECT

public:
    // One HTTP request as received; for SOAP requests also the action and its arguments.
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QByteArray soapAction;
        QByteArray action;
        QMap<QByteArray, QByteArray> arguments;
    };

    static constexpr char kDescriptionPath[] = "/rootDesc.xml";
    static constexpr char kControlPath[] = "/ctl/IPConn";
    static constexpr char kServiceType[] = "urn:schemas-upnp-org:service:WANIPConnection:1";
    static constexpr int kSuccess = 0;

    explicit FakeGateway(QObject* ip_parent = nullptr);
    ~FakeGateway() override;

    // Listens on 127.0.0.1 at any free port.
    bool Listen();
    QByteArray DescriptionUrl() const;

    // Results of the next requests of each action, in order: kSuccess or a UPnP error code.
    // Once they are used up, every request succeeds.
    void QueueAddResults(const QList<int>& i_results);
    void QueueDeleteResults(const QList<int>& i_results);
    // Instead of the description, the connection is closed without an answer.
    void SetDescriptionWithheld(bool i_withheld);
    // The description names no WAN connection service.
    void SetWithoutConnectionService(bool i_without);

    QList<Request> Requests() const;
    // The SOAP requests of one action, in order.
    QList<Request> Requests(const QByteArray& i_action) const;

signals:
    void RequestReceived();

private:
    void OnNewConnection();
    void OnReadyRead(QTcpSocket* ip_socket);
    void Answer(QTcpSocket* ip_socket, const Request& i_request);
    static void Reply(QTcpSocket* ip_socket, const QByteArray& i_status, const QByteArray& i_body);
    QByteArray Description() const;

    QTcpServer* mp_listener = nullptr;
    std::map<QTcpSocket*, QByteArray> m_input;
    QList<Request> m_requests;
    QList<int> m_addResults;
    QList<int> m_deleteResults;
    bool m_descriptionWithheld = false;
    bool m_withoutConnectionService = false;
};
