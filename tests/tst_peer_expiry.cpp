// Expiry on the half-minute tick, with the steady clock moved by the test: the window of each
// kind of waiting item, the sockets that never say who they are or never send the token they
// owe, the relayed request whose socket is disposed of at once, and the wall-clock text stamps
// that no longer decide an age.
#include "Data.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "WireReader.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTest>

#include <memory>

namespace
{
constexpr int timeoutMs = 20000;
constexpr quint32 loopback = 0x7f000001;

using Messages = TestPeerMessages;

std::size_t Count(const char* ip_type)
{
    return d.GetType(ip_type)->ItemCount();
}

ItemPtr UserItem(const char* ip_name)
{
    return d.GetType("user")->GetItem(ip_name);
}

void SetEndpoint(const char* ip_user, quint32 i_address, int i_port)
{
    ItemPtr l_user = UserItem(ip_user);
    l_user += d.GetType("user_address")->GetItem(Value(i_address));
    l_user += d.GetType("user_port")->GetItem(Value(i_port));
    l_user += d.GetType("user_obfuscated_port")->GetItem(Value(0));
}

void DeleteLaterNow()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
} // namespace

class TestPeerExpiry : public QObject
{
    Q_OBJECT

    std::unique_ptr<PeerHarness> mp_harness;
    std::unique_ptr<TestPeer> mp_peer;
    QList<QPair<std::string, std::string>> m_failures;

    PeerMessenger& Messenger() { return mp_harness->Messenger(); }

    // Moves the steady clock and runs one tick.
    void Tick(qint64 i_milliseconds)
    {
        mp_harness->AdvanceClock(i_milliseconds);
        Messenger().EveryHalfMinute();
    }

    bool HasLine(const QString& i_line) const
    {
        return mp_harness->PeerLinesSinceMark().contains(i_line);
    }

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<PeerHarness>();
        connect(&Messenger(), &PeerMessenger::ConnectionToUserFailed, this,
                [this](std::string i_user, std::string i_type) {
                    m_failures.append({i_user, i_type});
                });
    }

    void init()
    {
        mp_peer = std::make_unique<TestPeer>();
        QVERIFY(mp_peer->Listen());
        m_failures.clear();
        mp_harness->Mark();
    }

    void cleanup()
    {
        mp_peer.reset();
        mp_harness->ResetPeers();
    }

    void cleanupTestCase() { mp_harness.reset(); }

    void tickWithNothingDoesNothing()
    {
        Tick(3600000);
        QVERIFY(mp_harness->PeerLinesSinceMark().isEmpty());
    }

    void unsentMessagesAfterFiveMinutes()
    {
        Messenger().QueueDownload("quinn", "f");
        QCOMPARE(Count("unsent_message"), std::size_t(1));
        Tick(299999);
        QCOMPARE(Count("unsent_message"), std::size_t(1));
        Tick(1);
        QCOMPARE(Count("unsent_message"), std::size_t(0));
    }

    // The indirect request of an attempt still waiting for the address is its only way: its
    // expiry drops the attempt.
    void indirectRequestAfterOneMinute()
    {
        Messenger().ConnectToUser("rita", "P");
        Tick(59999);
        QCOMPARE(Count("indirect_connect_to_peer_request"), std::size_t(1));
        QVERIFY(m_failures.isEmpty());
        Tick(1);
        QCOMPARE(Count("indirect_connect_to_peer_request"), std::size_t(0));
        QCOMPARE(Count("connect_to_peer_request"), std::size_t(0));
        QCOMPARE(m_failures, (QList<QPair<std::string, std::string>>{{"rita", "P"}}));
        QVERIFY(HasLine(
            QStringLiteral("Indirect connection request of type P to rita expired, removing.")));
    }

    // Both ways of one attempt expire at one tick: the first inspection still sees the socket,
    // the second drops the attempt, and the failure is told once.
    void directAttemptAfterOneMinute()
    {
        SetEndpoint("sam", loopback, mp_harness->StalledPort());
        Messenger().ConnectToUser("sam", "P");
        QCOMPARE(Count("connect_to_peer_request_socket"), std::size_t(1));
        QPointer<QTcpSocket> lp_socket =
            ItemPtr(d.GetType("connect_to_peer_request_socket")->GetItems().front())
                .AsPtr<QTcpSocket>();
        Tick(59999);
        QCOMPARE(Count("connect_to_peer_request_socket"), std::size_t(1));
        Tick(1);
        QCOMPARE(Count("connect_to_peer_request_socket"), std::size_t(0));
        QCOMPARE(Count("connect_to_peer_request"), std::size_t(0));
        QCOMPARE(m_failures.size(), qsizetype(1));
        const QStringList l_lines = mp_harness->PeerLinesSinceMark();
        const qsizetype l_expired = l_lines.indexOf(
            QStringLiteral("Indirect connection request of type P to sam expired, removing."));
        const qsizetype l_socketFound =
            l_lines.indexOf(QStringLiteral("Socket found. Not removing request."));
        const qsizetype l_timedOut = l_lines.indexOf(
            QStringLiteral("Direct connection attempt of type P to sam timed out, closing."));
        const qsizetype l_removing =
            l_lines.indexOf(QStringLiteral("Neither socket nor indirect request found. Removing."));
        QVERIFY(l_expired >= 0 && l_expired < l_socketFound && l_socketFound < l_timedOut &&
                l_timedOut < l_removing);
        DeleteLaterNow();
        QVERIFY(lp_socket.isNull());
    }

    // A request relayed to us whose socket never connects: the socket is disposed of at once,
    // the request removed and the server told, without waiting for a signal that a socket closed
    // while connecting never sends.
    void relayedRequestSocketAfterOneMinute()
    {
        ItemPtr l_request = d.GetType("peer_connection_request")->NewItem();
        l_request += d.GetType("peer_connection_request_id")->GetItem(Value(66));
        l_request += d.GetType("peer_connection_type")->GetItem("P");
        l_request += UserItem("tess");
        SetEndpoint("tess", loopback, mp_harness->StalledPort());
        QTRY_COMPARE_WITH_TIMEOUT(Count("peer_connection_request_socket"), std::size_t(1),
                                  timeoutMs);
        QPointer<QTcpSocket> lp_socket =
            ItemPtr(d.GetType("peer_connection_request_socket")->GetItems().front())
                .AsPtr<QTcpSocket>();
        QCOMPARE(lp_socket->state(), QAbstractSocket::ConnectingState);
        const int l_central = mp_harness->CentralConnection();
        const qsizetype l_reportsBefore =
            mp_harness->Central().ReceivedFrames(l_central, 1001).size();

        Tick(59999);
        QCOMPARE(Count("peer_connection_request_socket"), std::size_t(1));
        Tick(1);
        QCOMPARE(Count("peer_connection_request_socket"), std::size_t(0));
        QCOMPARE(Count("peer_connection_request"), std::size_t(0));
        for (const char* lp_line :
             {"Indirect connection attempt of type P to tess timed out, closing.",
              "Disposing of socket", "Identified as peer connection request socket",
              "Request found, removing"})
            QVERIFY2(HasLine(QString::fromLatin1(lp_line)), lp_line);
        DeleteLaterNow();
        QVERIFY(lp_socket.isNull());
        QTRY_COMPARE_WITH_TIMEOUT(mp_harness->Central().ReceivedFrames(l_central, 1001).size(),
                                  l_reportsBefore + 1, timeoutMs);
        WireReader l_reader(mp_harness->Central().ReceivedFrames(l_central, 1001).last().body);
        QCOMPARE(l_reader.ReadU32(), 66u);
        QCOMPARE(l_reader.ReadString(), QByteArray("tess"));
    }

    // Two minutes of silence close a messaging connection; what it receives counts as activity,
    // what this client sends on it does not.
    void idleConnectionAfterTwoMinutes()
    {
        QList<std::string> l_failed;
        const auto l_watch =
            connect(&Messenger(), &PeerMessenger::UploadFailed, this,
                    [&](std::string, std::string i_file) { l_failed.append(i_file); });
        const int l_connection = mp_harness->DialIn(*mp_peer, "uma", "P", false);
        QVERIFY(PeerHarness::SocketOf("peer_socket", "uma"));
        Tick(119999);
        QVERIFY(mp_peer->IsOpen(l_connection));
        QCOMPARE(Count("peer_socket"), std::size_t(1));

        mp_peer->SendMessage(l_connection, 46, Messages::UploadFailed("x").mid(4));
        QTRY_COMPARE_WITH_TIMEOUT(l_failed.size(), qsizetype(1), timeoutMs);
        Tick(60000);
        Messenger().QueueDownload("uma", "sent");
        QVERIFY(mp_peer->WaitForFrames(l_connection, 1));
        Tick(59999);
        QCOMPARE(Count("peer_socket"), std::size_t(1));
        Tick(1);
        QVERIFY(HasLine(QStringLiteral("Peer connection to user uma expired, closing.")));
        QVERIFY(mp_peer->WaitForDisconnected(l_connection));
        QTRY_COMPARE_WITH_TIMEOUT(Count("peer_socket"), std::size_t(0), timeoutMs);
        disconnect(l_watch);
    }

    void silentNewConnectionAfterOneMinute()
    {
        const int l_connection = mp_peer->Dial(Messenger().ObfuscatedListeningPort(), true);
        QTRY_COMPARE_WITH_TIMEOUT(Count("uninitialized_socket"), std::size_t(1), timeoutMs);
        Tick(59999);
        QCOMPARE(Count("uninitialized_socket"), std::size_t(1));
        Tick(1);
        QCOMPARE(Count("uninitialized_socket"), std::size_t(0));
        QVERIFY(
            HasLine(QStringLiteral("New peer connection sent no first message in time, closing.")));
        QVERIFY(mp_peer->WaitForDisconnected(l_connection));
    }

    void owedFileTokenAfterOneMinute()
    {
        const int l_connection = mp_harness->DialIn(*mp_peer, "vic", "F", false);
        QTRY_VERIFY_WITH_TIMEOUT(HasLine(QStringLiteral("Accepted file connection to user vic")),
                                 timeoutMs);
        Tick(59999);
        QVERIFY(mp_peer->IsOpen(l_connection));
        Tick(1);
        QVERIFY(HasLine(QStringLiteral(
            "File connection from user vic sent no transfer token in time, closing.")));
        QVERIFY(mp_peer->WaitForDisconnected(l_connection));
    }

    // Local-time text stamps are for display: an age counts on the steady clock alone, so a
    // clock set back or forward neither keeps nor drops anything.
    void textStampsDoNotDecideAges()
    {
        Messenger().QueueDownload("walt", "f");
        ItemPtr l_message = d.GetType("unsent_message")->GetItems().front();
        Type* lp_times = d.GetType("send_time");
        l_message += lp_times->GetItem("Sat Jan 1 00:00:00 2000");
        Tick(0);
        QCOMPARE(Count("unsent_message"), std::size_t(1));
        l_message += lp_times->GetItem("Fri Jan 1 00:00:00 2100");
        Tick(300000);
        QCOMPARE(Count("unsent_message"), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestPeerExpiry)
#include "tst_peer_expiry.moc"
