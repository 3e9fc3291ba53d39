#include "ServerHarness.h"

#include "Data.h"
#include "DataSaver.h"
#include "PeerMessenger.h"
#include "PortForwarder.h"
#include "Server.h"
#include "TestSettings.h"
#include "TimerManager.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QHostAddress>
#include <QTest>

namespace
{
constexpr int timeoutMs = 20000;
constexpr quint32 deliveryReportCode = 128;
constexpr quint32 userStatusCode = 7;
} // namespace

ServerHarness::ServerHarness()
    : mp_timers(std::make_unique<TimerManager>()), mp_dataSaver(std::make_unique<DataSaver>()),
      mp_central(std::make_unique<TestServer>())
{
    gp_logSink = this;
    mp_timers->m_halfMinuteTimer.stop();
    mp_timers->m_fiveMinutesTimer.stop();
    mp_timers->m_hourTimer.stop();
    TestSettings::Declare();

    mp_central->SetAutomaticReplies(false);
    if (!mp_central->Listen(0))
        qFatal("test server: cannot listen on 127.0.0.1");
    mp_server = std::make_unique<Server>(QHostAddress(QHostAddress::LocalHost).toString(),
                                         mp_central->Port());
    mp_server->CreateData();
    mp_peerMessenger = std::make_unique<PeerMessenger>();
    mp_peerMessenger->SetListeningAddress(QHostAddress(QHostAddress::LocalHost));
    // Discovery must never search the network here.
    portForwarder->UseFixedDevices({}, 0);

    connect(mp_server.get(), &Server::Connecting, this, [this] { m_clientState = 1; });
    connect(mp_server.get(), &Server::Connected, this, [this] { m_clientState = 2; });
    connect(mp_server.get(), &Server::Disconnected, this, [this] { m_clientState = 0; });
    connect(mp_server.get(), &Server::ConnectionFailed, this, [this] { m_clientState = 0; });
    connect(mp_server.get(), &Server::DNetDeliveryReport, this,
            [this](int i_report) { m_lastReport = i_report; });
    TestSettings::SetSetting("use_upnp", "no");
}

ServerHarness::~ServerHarness()
{
    mp_peerMessenger.reset();
    mp_server.reset();
    if (gp_logSink == this)
        gp_logSink = nullptr;
}

void ServerHarness::RestartCentral()
{
    const quint16 l_port = mp_central->Port();
    const bool l_automaticReplies = mp_central->AutomaticReplies();
    mp_central = std::make_unique<TestServer>();
    mp_central->SetAutomaticReplies(l_automaticReplies);
    if (!mp_central->Listen(l_port))
        qFatal("test server: cannot listen again on 127.0.0.1");
}

int ServerHarness::ConnectAndAwaitLogin(const QByteArray& i_user, const QByteArray& i_password)
{
    TestSettings::SetSetting("username", i_user.toStdString());
    TestSettings::SetSetting("password", i_password.toStdString());
    int l_connection = 0;
    const QMetaObject::Connection l_watch =
        connect(mp_central.get(), &TestServer::FrameReceived, this,
                [&](int i_connection, quint32 i_code)
                {
                    if (i_code == 1)
                        l_connection = i_connection;
                });
    mp_server->Connect();
    if (!QTest::qWaitFor([&] { return l_connection != 0; }, timeoutMs))
        qWarning("no login came");
    disconnect(l_watch);
    return l_connection;
}

int ServerHarness::LogIn(const QByteArray& i_user, const QByteArray& i_password)
{
    const int l_connection = ConnectAndAwaitLogin(i_user, i_password);
    if (l_connection == 0)
        return 0;
    mp_central->SendFrame(l_connection, 1, AcceptedLogin());
    if (!QTest::qWaitFor([this] { return m_clientState == 2; }, timeoutMs))
        return 0;
    return l_connection;
}

QByteArray ServerHarness::AcceptedLogin()
{
    return WireWriter()
        .WriteBool(true)
        .WriteString(QByteArrayLiteral("welcome"))
        .WriteU32(0x0100007f)
        .WriteString(QByteArrayLiteral("0123456789abcdef0123456789abcdef"))
        .Bytes();
}

bool ServerHarness::Deliver(int i_connection, quint32 i_code, const QByteArray& i_fields)
{
    return DeliverRaw(i_connection, WireWriter::Frame(i_code, i_fields));
}

bool ServerHarness::DeliverRaw(int i_connection, const QByteArray& i_bytes)
{
    const qint32 l_marker = ++m_nextMarker;
    mp_central->SendRaw(i_connection, i_bytes);
    mp_central->SendFrame(i_connection, deliveryReportCode,
                          WireWriter().WriteI32(l_marker).Bytes());
    return QTest::qWaitFor([&] { return m_lastReport == l_marker; }, timeoutMs);
}

QList<TestServer::ReceivedFrame> ServerHarness::SentFrames(int i_connection)
{
    const QByteArray l_marker = "#marker-" + QByteArray::number(++m_nextMarker);
    const QByteArray l_markerFields = WireWriter().WriteString(l_marker).Bytes();
    mp_server->GetUserStatus(l_marker.toStdString());
    const auto l_markerIndex = [&]
    {
        const QList<TestServer::ReceivedFrame> l_frames = mp_central->ReceivedFrames(i_connection);
        for (qsizetype l_index = 0; l_index < l_frames.size(); ++l_index)
            if (l_frames[l_index].code == userStatusCode &&
                l_frames[l_index].body == l_markerFields)
                return l_index;
        return qsizetype(-1);
    };
    QList<TestServer::ReceivedFrame> l_frames;
    if (QTest::qWaitFor([&] { return l_markerIndex() >= 0; }, timeoutMs))
        l_frames = mp_central->ReceivedFrames(i_connection).first(l_markerIndex());
    else
        qWarning("the client's marker request never arrived");
    mp_central->ClearReceivedFrames(i_connection);
    return l_frames;
}

void ServerHarness::Reset()
{
    // A pending reconnection ends once a login has gone out.
    if (mp_server->IsAbruptlyDisconnected())
        ConnectAndAwaitLogin(QByteArrayLiteral("me"), QByteArrayLiteral("secret"));
    if (mp_server->IsConnected())
        mp_server->Disconnect();
    for (int l_connection : mp_central->Connections())
        mp_central->DropConnection(l_connection);
    if (!QTest::qWaitFor([this]
                         { return m_clientState == 0 && mp_central->Connections().isEmpty(); },
                         timeoutMs))
        qWarning("the connection did not end");
    d.RemoveAllItems();
    TestSettings::SetSetting("use_upnp", "no");
    m_logLines.clear();
}

QStringList ServerHarness::LogLines(const QString& i_category) const
{
    QStringList l_lines;
    for (const auto& l_line : m_logLines)
        if (l_line.first == i_category)
            l_lines.append(l_line.second);
    return l_lines;
}

void ServerHarness::Log(const QString& i_category, int, const QString& i_message, ItemPtr)
{
    m_logLines.append({i_category, i_message});
}
