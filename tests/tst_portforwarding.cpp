#include "FakeGateway.h"
#include "Log.h"
#include "LogSink.h"
#include "PortForwarder.h"

#include <QHostAddress>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <memory>

namespace
{
const int kTimeoutMs = 15000;
const char kGatewayType[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
const char kMediaServerType[] = "urn:schemas-upnp-org:device:MediaServer:1";
const QString kCategory = QStringLiteral("Port Forwarding");

// Takes the log lines in place of the diagnostics view, noting also on which thread each line
// arrived.
class RecordingForm : public LogSink
{
public:
    RecordingForm() { gp_logSink = this; }
    ~RecordingForm() override
    {
        if (gp_logSink == this)
            gp_logSink = nullptr;
    }

    void Log(const QString& i_category, int i_level, const QString& i_message, ItemPtr) override
    {
        m_threads.append(QThread::currentThread());
        if (i_category != kCategory)
            return;
        // The message as the page shows it, without its "[date and time] " prefix.
        const QString l_line = FormatLogLine(i_level, i_message);
        m_messages.append(l_line.mid(l_line.indexOf(QStringLiteral("] ")) + 2));
    }

    QStringList Messages() const { return m_messages; }

    QList<QThread*> m_threads;

private:
    QStringList m_messages;
};

// A forwarder, a gateway on 127.0.0.1, and a connection on 127.0.0.1 standing in for the one to
// the central server. The gateway goes first, so that no library call can wait on it while the
// forwarder waits for its thread.
struct Rig
{
    RecordingForm m_form;
    PortForwarder m_forwarder;
    QTcpServer m_server;
    QTcpSocket m_connection;
    std::unique_ptr<QTcpSocket> mp_serverSide;
    FakeGateway m_gateway;

    bool Start()
    {
        if (!m_gateway.Listen() || !m_server.listen(QHostAddress::LocalHost, 0))
            return false;
        m_connection.connectToHost(QHostAddress::LocalHost, m_server.serverPort());
        if (!m_connection.waitForConnected(kTimeoutMs) ||
            !m_server.waitForNewConnection(kTimeoutMs))
            return false;
        mp_serverSide.reset(m_server.nextPendingConnection());
        return true;
    }

    ThreadedServices::Device Gateway(const char* i_type = kGatewayType) const
    {
        return {m_gateway.DescriptionUrl(), i_type, 0};
    }

    // Runs discovery with a gateway that answers, and waits for its lines.
    bool Discover()
    {
        m_forwarder.UseFixedDevices({Gateway()}, 0);
        m_forwarder.Init();
        return WaitForMessages(4);
    }

    bool WaitForMessages(int i_count)
    {
        const bool l_arrived =
            QTest::qWaitFor([&] { return m_form.Messages().size() >= i_count; }, kTimeoutMs);
        return l_arrived && m_form.Messages().size() == i_count;
    }

    // The messages logged since the first i_skipped.
    QStringList MessagesAfter(int i_skipped) const { return m_form.Messages().mid(i_skipped); }

    bool AllLinesOnMainThread() const
    {
        for (QThread* lp_thread : m_form.m_threads)
            if (lp_thread != QCoreApplication::instance()->thread())
                return false;
        return true;
    }
};

const QString kOwnAddressLine = QStringLiteral("Found own address to be 127.0.0.1");
const QString kRemovingLine = QStringLiteral("Removing mapping for port 2235");
const QString kRemovedLine = QStringLiteral("Port mapping successfully removed.");
const QString kConflictLine =
    QStringLiteral("Port already mapped, attempting to remove existing mapping before retrying.");
const QString kNotInitializedLine =
    QStringLiteral("UPnP appears to not have been initialized, aborting.");
} // namespace

class TestPortForwarding : public QObject
{
    Q_OBJECT

private slots:
    void discovery_data()
    {
        // Devices as "url|type"; "gateway" stands for the fake gateway's description URL and
        // "http://127.0.0.1:1/media.xml" for a device that is never asked for its description.
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("withheld");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("descriptionRequests");

        const QString l_media = QStringLiteral("http://127.0.0.1:1/media.xml");
        const QString l_mediaDevice = l_media + QLatin1Char('|') + QLatin1String(kMediaServerType);
        const QString l_gatewayDevice = QStringLiteral("gateway|") + QLatin1String(kGatewayType);

        QTest::newRow("the gateway after another device")
            << QStringList{l_mediaDevice, l_gatewayDevice} << 0 << false
            << QStringList{QStringLiteral("Initializing UPnP"), QStringLiteral("Device list found"),
                           l_media + QStringLiteral(", ") + QLatin1String(kMediaServerType) +
                               QStringLiteral(" skipping"),
                           QStringLiteral("gateway, InternetGatewayDevice, found"),
                           QStringLiteral("Device XML found.")}
            << 1;
        QTest::newRow("the walk stops at the gateway")
            << QStringList{l_gatewayDevice, l_mediaDevice} << 0 << false
            << QStringList{QStringLiteral("Initializing UPnP"), QStringLiteral("Device list found"),
                           QStringLiteral("gateway, InternetGatewayDevice, found"),
                           QStringLiteral("Device XML found.")}
            << 1;
        QTest::newRow("no gateway type: the first device")
            << QStringList{QStringLiteral("gateway|upnp:rootdevice"), l_mediaDevice} << 0 << false
            << QStringList{QStringLiteral("Initializing UPnP"),
                           QStringLiteral("Device list found"),
                           QStringLiteral("gateway, upnp:rootdevice skipping"),
                           l_media + QStringLiteral(", ") + QLatin1String(kMediaServerType) +
                               QStringLiteral(" skipping"),
                           QStringLiteral("Defaulting to first device found, upnp:rootdevice"),
                           QStringLiteral("Device XML found.")}
            << 1;
        QTest::newRow("description not served")
            << QStringList{l_gatewayDevice} << 0 << true
            << QStringList{QStringLiteral("Initializing UPnP"), QStringLiteral("Device list found"),
                           QStringLiteral("gateway, InternetGatewayDevice, found"),
                           QStringLiteral("Device XML not found.")}
            << 1;
        QTest::newRow("no device")
            << QStringList{} << -101 << false
            << QStringList{QStringLiteral("Initializing UPnP"),
                           QStringLiteral(
                               "No device list found during discovery. miniupnp error code: -101")}
            << 0;
    }

    void discovery()
    {
        QFETCH(QStringList, devices);
        QFETCH(int, error);
        QFETCH(bool, withheld);
        QFETCH(QStringList, expected);
        QFETCH(int, descriptionRequests);

        Rig l_rig;
        QVERIFY(l_rig.Start());
        QCOMPARE(portForwarder, &l_rig.m_forwarder);
        l_rig.m_gateway.SetDescriptionWithheld(withheld);
        const QString l_gatewayUrl = QString::fromLatin1(l_rig.m_gateway.DescriptionUrl());

        QList<ThreadedServices::Device> l_devices;
        for (const QString& l_device : devices)
        {
            const QStringList l_parts = l_device.split(QLatin1Char('|'));
            QString l_url = l_parts[0];
            if (l_url == QStringLiteral("gateway"))
                l_url = l_gatewayUrl;
            l_devices.append({l_url.toLatin1(), l_parts[1].toLatin1(), 0});
        }
        for (QString& l_line : expected)
            if (l_line.startsWith(QStringLiteral("gateway")))
                l_line.replace(0, 7, l_gatewayUrl);

        l_rig.m_forwarder.UseFixedDevices(l_devices, error);
        l_rig.m_forwarder.Init();
        QVERIFY(l_rig.WaitForMessages(expected.size()));
        QCOMPARE(l_rig.m_form.Messages(), expected);
        QCOMPARE(l_rig.m_gateway.Requests().size(), descriptionRequests);
        for (const FakeGateway::Request& l_request : l_rig.m_gateway.Requests())
        {
            QCOMPARE(l_request.method, QByteArray("GET"));
            QCOMPARE(l_request.path, QByteArray(FakeGateway::kDescriptionPath));
        }
        QVERIFY(l_rig.AllLinesOnMainThread());
    }

    void laterInitLogsNothingAndDiscoversNothing()
    {
        Rig l_rig;
        QVERIFY(l_rig.Start());
        QVERIFY(l_rig.Discover());

        l_rig.m_forwarder.Init();
        // A removal queued behind it marks when the worker has passed the second Init.
        l_rig.m_forwarder.RemovePortMapping(2235);
        QVERIFY(l_rig.WaitForMessages(6));
        QCOMPARE(l_rig.MessagesAfter(4), (QStringList{kRemovingLine, kRemovedLine}));
        QCOMPARE(l_rig.m_gateway.Requests().size(), 2);
        QCOMPARE(l_rig.m_gateway.Requests("DeletePortMapping").size(), 1);
    }

    void mapping_data()
    {
        QTest::addColumn<QList<int>>("addResults");
        QTest::addColumn<QList<int>>("deleteResults");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QList<QByteArray>>("actions");

        const QByteArray l_add = "AddPortMapping";
        const QByteArray l_delete = "DeletePortMapping";

        QTest::newRow("mapped") << QList<int>{} << QList<int>{}
                                << QStringList{kOwnAddressLine,
                                               QStringLiteral("Port 2235 successfully mapped.")}
                                << QList<QByteArray>{l_add};
        QTest::newRow("other error, no retry")
            << QList<int>{725} << QList<int>{}
            << QStringList{kOwnAddressLine,
                           QStringLiteral("Port 2235 mapping failure, miniupnp error: 725")}
            << QList<QByteArray>{l_add};
        // The removal's lines come first: it hands them back before the mapping does.
        QTest::newRow("conflict once")
            << QList<int>{718} << QList<int>{}
            << QStringList{kRemovingLine, kRemovedLine, kOwnAddressLine, kConflictLine,
                           QStringLiteral("Second mapping attempt successful.")}
            << QList<QByteArray>{l_add, l_delete, l_add};
        QTest::newRow("conflict twice: no line, no third attempt")
            << QList<int>{718, 718} << QList<int>{}
            << QStringList{kRemovingLine, kRemovedLine, kOwnAddressLine, kConflictLine}
            << QList<QByteArray>{l_add, l_delete, l_add};
        QTest::newRow("conflict, then another error")
            << QList<int>{718, 501} << QList<int>{}
            << QStringList{kRemovingLine, kRemovedLine, kOwnAddressLine, kConflictLine,
                           QStringLiteral("Second mapping attempt failed, miniupnp error: 501")}
            << QList<QByteArray>{l_add, l_delete, l_add};
        QTest::newRow("conflict, removal refused")
            << QList<int>{718} << QList<int>{714}
            << QStringList{kRemovingLine,
                           QStringLiteral("Port mapping removal failed, miniupnp error: 714"),
                           kOwnAddressLine, kConflictLine,
                           QStringLiteral("Second mapping attempt successful.")}
            << QList<QByteArray>{l_add, l_delete, l_add};
    }

    void mapping()
    {
        QFETCH(QList<int>, addResults);
        QFETCH(QList<int>, deleteResults);
        QFETCH(QStringList, expected);
        QFETCH(QList<QByteArray>, actions);

        Rig l_rig;
        QVERIFY(l_rig.Start());
        QVERIFY(l_rig.Discover());
        l_rig.m_gateway.QueueAddResults(addResults);
        l_rig.m_gateway.QueueDeleteResults(deleteResults);

        l_rig.m_forwarder.AddPortMapping(&l_rig.m_connection, 2235);
        QVERIFY(l_rig.WaitForMessages(4 + expected.size()));
        QCOMPARE(l_rig.MessagesAfter(4), expected);

        const QList<FakeGateway::Request> l_requests = l_rig.m_gateway.Requests().mid(1);
        QCOMPARE(l_requests.size(), actions.size());
        for (int l_index = 0; l_index < actions.size(); ++l_index)
        {
            const FakeGateway::Request& l_request = l_requests[l_index];
            QCOMPARE(l_request.action, actions[l_index]);
            QCOMPARE(l_request.method, QByteArray("POST"));
            QCOMPARE(l_request.path, QByteArray(FakeGateway::kControlPath));
            QCOMPARE(l_request.soapAction,
                     QByteArray("\"") + FakeGateway::kServiceType + '#' + l_request.action + '"');
            QCOMPARE(l_request.arguments.value("NewExternalPort"), QByteArray("2235"));
            QCOMPARE(l_request.arguments.value("NewProtocol"), QByteArray("TCP"));
            QVERIFY(l_request.arguments.contains("NewRemoteHost"));
            QCOMPARE(l_request.arguments.value("NewRemoteHost"), QByteArray());
            if (l_request.action == "AddPortMapping")
            {
                QCOMPARE(l_request.arguments.value("NewInternalPort"), QByteArray("2235"));
                QCOMPARE(l_request.arguments.value("NewInternalClient"), QByteArray("127.0.0.1"));
                QCOMPARE(l_request.arguments.value("NewPortMappingDescription"),
                         QByteArray("BrindlexQT"));
                QCOMPARE(l_request.arguments.value("NewEnabled"), QByteArray("1"));
                QCOMPARE(l_request.arguments.value("NewLeaseDuration"), QByteArray("0"));
            }
        }
        QVERIFY(l_rig.AllLinesOnMainThread());
    }

    void bothPortsInTheOrderAsked()
    {
        Rig l_rig;
        QVERIFY(l_rig.Start());
        QVERIFY(l_rig.Discover());

        l_rig.m_forwarder.AddPortMapping(&l_rig.m_connection, 2235);
        l_rig.m_forwarder.AddPortMapping(&l_rig.m_connection, 2236);
        QVERIFY(l_rig.WaitForMessages(8));
        QCOMPARE(l_rig.MessagesAfter(4),
                 (QStringList{kOwnAddressLine, QStringLiteral("Port 2235 successfully mapped."),
                              kOwnAddressLine, QStringLiteral("Port 2236 successfully mapped.")}));
        const QList<FakeGateway::Request> l_adds = l_rig.m_gateway.Requests("AddPortMapping");
        QCOMPARE(l_adds.size(), 2);
        QCOMPARE(l_adds[0].arguments.value("NewExternalPort"), QByteArray("2235"));
        QCOMPARE(l_adds[1].arguments.value("NewExternalPort"), QByteArray("2236"));
        QCOMPARE(l_adds[1].arguments.value("NewInternalPort"), QByteArray("2236"));
    }

    // Without a described gateway there is no control address: the library is not called and
    // the requests log their failure lines.
    void withoutGatewayNothingIsSent_data()
    {
        QTest::addColumn<bool>("discover");
        QTest::addColumn<int>("deviceCount");
        QTest::addColumn<bool>("withheld");
        QTest::addColumn<bool>("withoutService");
        QTest::addColumn<int>("discoveryLines");

        QTest::newRow("before any discovery") << false << 0 << false << false << 0;
        QTest::newRow("no device") << true << 0 << false << false << 2;
        QTest::newRow("description not served") << true << 1 << true << false << 4;
        QTest::newRow("no WAN connection service") << true << 1 << false << true << 4;
    }

    void withoutGatewayNothingIsSent()
    {
        QFETCH(bool, discover);
        QFETCH(int, deviceCount);
        QFETCH(bool, withheld);
        QFETCH(bool, withoutService);
        QFETCH(int, discoveryLines);

        Rig l_rig;
        QVERIFY(l_rig.Start());
        l_rig.m_gateway.SetDescriptionWithheld(withheld);
        l_rig.m_gateway.SetWithoutConnectionService(withoutService);
        if (discover)
        {
            QList<ThreadedServices::Device> l_devices;
            if (deviceCount > 0)
                l_devices.append(l_rig.Gateway());
            l_rig.m_forwarder.UseFixedDevices(l_devices, -101);
            l_rig.m_forwarder.Init();
        }

        l_rig.m_forwarder.AddPortMapping(&l_rig.m_connection, 2235);
        l_rig.m_forwarder.RemovePortMapping(2235);
        QVERIFY(l_rig.WaitForMessages(discoveryLines + 4));
        QCOMPARE(l_rig.MessagesAfter(discoveryLines),
                 (QStringList{kOwnAddressLine,
                              QStringLiteral("Port 2235 mapping failure, miniupnp error: -2"),
                              kRemovingLine, kNotInitializedLine}));
        for (const FakeGateway::Request& l_request : l_rig.m_gateway.Requests())
            QCOMPARE(l_request.method, QByteArray("GET"));
    }

    void socketWithoutConnectionIsRefused()
    {
        Rig l_rig;
        QVERIFY(l_rig.Start());
        QVERIFY(l_rig.Discover());

        QTcpSocket l_unconnected;
        l_rig.m_forwarder.AddPortMapping(&l_unconnected, 2235);
        l_rig.m_forwarder.AddPortMapping(nullptr, 2236);
        // The mapping queued behind them shows that nothing else was queued.
        l_rig.m_forwarder.AddPortMapping(&l_rig.m_connection, 2237);
        QVERIFY(l_rig.WaitForMessages(8));
        QCOMPARE(l_rig.MessagesAfter(4),
                 (QStringList{QStringLiteral("Own address not found, port 2235 not mapped."),
                              QStringLiteral("Own address not found, port 2236 not mapped."),
                              kOwnAddressLine, QStringLiteral("Port 2237 successfully mapped.")}));
        const QList<FakeGateway::Request> l_adds = l_rig.m_gateway.Requests("AddPortMapping");
        QCOMPARE(l_adds.size(), 1);
        QCOMPARE(l_adds[0].arguments.value("NewExternalPort"), QByteArray("2237"));
    }

    // Shut-down waits neither for a discovery that still waits for answers nor for the work
    // queued behind it; the search ends alone later, and nothing it finds is logged.
    void destroyedWhileDiscoveryWaits()
    {
        struct Gate
        {
            QSemaphore m_started, m_released, m_ended;
        };
        const auto lp_gate = std::make_shared<Gate>();
        RecordingForm l_form;
        auto lp_forwarder = std::make_unique<PortForwarder>();
        lp_forwarder->UseDiscovery(
            [lp_gate](int*)
            {
                lp_gate->m_started.release();
                lp_gate->m_released.tryAcquire(1, kTimeoutMs);
                lp_gate->m_ended.release();
                return QList<ThreadedServices::Device>{{"http://127.0.0.1:1/d.xml", kGatewayType}};
            });
        lp_forwarder->Init();
        lp_forwarder->RemovePortMapping(2235);
        QVERIFY(lp_gate->m_started.tryAcquire(1, kTimeoutMs));
        lp_forwarder.reset();
        QCOMPARE(portForwarder, nullptr);
        QCOMPARE(lp_gate->m_ended.available(), 0);
        lp_gate->m_released.release();
        QVERIFY(lp_gate->m_ended.tryAcquire(1, kTimeoutMs));
        QCoreApplication::processEvents();
        QVERIFY(l_form.Messages().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPortForwarding)
#include "tst_portforwarding.moc"
