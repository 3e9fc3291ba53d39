#include "FakeGateway.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QXmlStreamReader>

namespace
{
// Bounds one request, headers and body together.
const qsizetype kMaxRequestSize = 64 * 1024;

QByteArray Envelope(const QByteArray& i_body)
{
    return QByteArrayLiteral("<?xml version=\"1.0\"?>\r\n"
                             "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                             "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                             "<s:Body>") +
           i_body + QByteArrayLiteral("</s:Body></s:Envelope>\r\n");
}

// The action's element in a SOAP body, and the text of each of its child elements.
void ParseSoapBody(const QByteArray& i_body, FakeGateway::Request& io_request)
{
    QXmlStreamReader l_reader(i_body);
    // Elements open around the reader, and how many were open inside the action's element.
    int l_depth = 0;
    int l_actionDepth = -1;
    while (!l_reader.atEnd())
    {
        const QXmlStreamReader::TokenType l_token = l_reader.readNext();
        if (l_token == QXmlStreamReader::EndElement)
            --l_depth;
        if (l_token != QXmlStreamReader::StartElement)
            continue;
        const QByteArray l_name = l_reader.name().toLatin1();
        if (l_depth == l_actionDepth)
        {
            // Reads through the argument's end element: the depth stays.
            io_request.arguments.insert(l_name, l_reader.readElementText().toLatin1());
            continue;
        }
        ++l_depth;
        if (l_actionDepth < 0 && l_name == io_request.action)
            l_actionDepth = l_depth;
    }
}
} // namespace

FakeGateway::FakeGateway(QObject* ip_parent) : QObject(ip_parent)
{
    mp_listener = new QTcpServer(this);
    connect(mp_listener, &QTcpServer::newConnection, this, &FakeGateway::OnNewConnection);
}

FakeGateway::~FakeGateway() = default;

bool FakeGateway::Listen()
{
    return mp_listener->listen(QHostAddress::LocalHost, 0);
}

QByteArray FakeGateway::DescriptionUrl() const
{
    return QByteArrayLiteral("http://127.0.0.1:") + QByteArray::number(mp_listener->serverPort()) +
           kDescriptionPath;
}

void FakeGateway::QueueAddResults(const QList<int>& i_results)
{
    m_addResults += i_results;
}

void FakeGateway::QueueDeleteResults(const QList<int>& i_results)
{
    m_deleteResults += i_results;
}

void FakeGateway::SetDescriptionWithheld(bool i_withheld)
{
    m_descriptionWithheld = i_withheld;
}

void FakeGateway::SetWithoutConnectionService(bool i_without)
{
    m_withoutConnectionService = i_without;
}

QList<FakeGateway::Request> FakeGateway::Requests() const
{
    return m_requests;
}

QList<FakeGateway::Request> FakeGateway::Requests(const QByteArray& i_action) const
{
    QList<Request> l_requests;
    for (const Request& l_request : m_requests)
        if (l_request.action == i_action)
            l_requests.append(l_request);
    return l_requests;
}

void FakeGateway::OnNewConnection()
{
    while (QTcpSocket* lp_socket = mp_listener->nextPendingConnection())
    {
        m_input[lp_socket];
        connect(lp_socket, &QTcpSocket::readyRead, this,
                [this, lp_socket] { OnReadyRead(lp_socket); });
        connect(lp_socket, &QTcpSocket::disconnected, this,
                [this, lp_socket]
                {
                    m_input.erase(lp_socket);
                    lp_socket->deleteLater();
                });
    }
}

void FakeGateway::OnReadyRead(QTcpSocket* ip_socket)
{
    const auto l_found = m_input.find(ip_socket);
    if (l_found == m_input.end())
        return;
    QByteArray& l_input = l_found->second;
    l_input += ip_socket->readAll();
    if (l_input.size() > kMaxRequestSize)
    {
        m_input.erase(l_found);
        ip_socket->abort();
        return;
    }

    const qsizetype l_headerEnd = l_input.indexOf("\r\n\r\n");
    if (l_headerEnd < 0)
        return;

    Request l_request;
    qsizetype l_contentLength = 0;
    const QList<QByteArray> l_headerLines = l_input.left(l_headerEnd).split('\n');
    const QList<QByteArray> l_requestLine = l_headerLines.first().trimmed().split(' ');
    l_request.method = l_requestLine.value(0);
    l_request.path = l_requestLine.value(1);
    for (qsizetype l_index = 1; l_index < l_headerLines.size(); ++l_index)
    {
        const QByteArray& l_line = l_headerLines[l_index];
        const qsizetype l_colon = l_line.indexOf(':');
        if (l_colon < 0)
            continue;
        const QByteArray l_name = l_line.left(l_colon).trimmed().toLower();
        const QByteArray l_value = l_line.mid(l_colon + 1).trimmed();
        if (l_name == "content-length")
            l_contentLength = l_value.toLongLong();
        else if (l_name == "soapaction")
            l_request.soapAction = l_value;
    }

    const qsizetype l_bodyStart = l_headerEnd + 4;
    if (l_input.size() - l_bodyStart < l_contentLength)
        return;
    const QByteArray l_body = l_input.mid(l_bodyStart, l_contentLength);
    m_input.erase(l_found);

    QByteArray l_soapAction = l_request.soapAction;
    if (l_soapAction.startsWith('"') && l_soapAction.endsWith('"') && l_soapAction.size() >= 2)
        l_soapAction = l_soapAction.mid(1, l_soapAction.size() - 2);
    const qsizetype l_hash = l_soapAction.indexOf('#');
    if (l_hash >= 0)
    {
        l_request.action = l_soapAction.mid(l_hash + 1);
        ParseSoapBody(l_body, l_request);
    }

    m_requests.append(l_request);
    Answer(ip_socket, l_request);
    emit RequestReceived();
}

void FakeGateway::Answer(QTcpSocket* ip_socket, const Request& i_request)
{
    if (i_request.method == "GET" && i_request.path == kDescriptionPath)
    {
        if (m_descriptionWithheld)
            ip_socket->abort();
        else
            Reply(ip_socket, "200 OK", Description());
        return;
    }

    const bool l_isAdd = i_request.action == "AddPortMapping";
    const bool l_isDelete = i_request.action == "DeletePortMapping";
    if (i_request.method != "POST" || i_request.path != kControlPath || (!l_isAdd && !l_isDelete))
    {
        Reply(ip_socket, "404 Not Found", QByteArray());
        return;
    }

    QList<int>& l_results = l_isAdd ? m_addResults : m_deleteResults;
    const int l_result = l_results.isEmpty() ? kSuccess : l_results.takeFirst();
    if (l_result == kSuccess)
    {
        Reply(ip_socket, "200 OK",
              Envelope("<u:" + i_request.action + "Response xmlns:u=\"" + kServiceType + "\"/>"));
        return;
    }
    Reply(ip_socket, "500 Internal Server Error",
          Envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
                   "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
                   QByteArray::number(l_result) +
                   "</errorCode><errorDescription>Refused</errorDescription></UPnPError>"
                   "</detail></s:Fault>"));
}

void FakeGateway::Reply(QTcpSocket* ip_socket, const QByteArray& i_status, const QByteArray& i_body)
{
    ip_socket->write("HTTP/1.1 " + i_status +
                     "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
                     QByteArray::number(i_body.size()) + "\r\nConnection: close\r\n\r\n" + i_body);
    ip_socket->disconnectFromHost();
}

QByteArray FakeGateway::Description() const
{
    const QByteArray l_connectionService =
        m_withoutConnectionService
            ? QByteArray()
            : QByteArrayLiteral("<deviceList><device>"
                                "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1"
                                "</deviceType><serviceList><service><serviceType>") +
                  kServiceType +
                  QByteArrayLiteral("</serviceType><serviceId>urn:upnp-org:serviceId:WANIPConn1"
                                    "</serviceId><controlURL>") +
                  kControlPath +
                  QByteArrayLiteral("</controlURL><eventSubURL>/evt/IPConn</eventSubURL>"
                                    "<SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList>"
                                    "</device></deviceList>");
    return QByteArrayLiteral(
               "<?xml version=\"1.0\"?>\r\n"
               "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
               "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
               "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
               "<friendlyName>Test gateway</friendlyName><deviceList><device>"
               "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
               "<serviceList><service>"
               "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1"
               "</serviceType><serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>"
               "<controlURL>/ctl/CmnIfCfg</controlURL><eventSubURL>/evt/CmnIfCfg</eventSubURL>"
               "<SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList>") +
           l_connectionService + QByteArrayLiteral("</device></deviceList></device></root>\r\n");
}
