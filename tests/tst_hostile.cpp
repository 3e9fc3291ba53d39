// Well-formed input from other users that would make the client hold memory or do work far
// beyond what it is worth. Each bound is checked through real sockets; honest traffic still flows.
#include "AllocationProbe.h"
#include "DNetManager.h"
#include "Data.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "WireWriter.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

#include <memory>

namespace
{
constexpr int timeoutMs = 60000;

using Messages = TestPeerMessages;
using File = TestPeerMessages::File;

QList<File> DistinctFiles(int i_count, const QByteArray& i_prefix = "Music\\track ")
{
    QList<File> l_files;
    for (int l_index = 0; l_index < i_count; ++l_index)
        l_files.append(
            {i_prefix + QByteArray::number(l_index) + ".mp3", 4000000, "mp3", {{0, 320}, {2, 0}}});
    return l_files;
}

QByteArray Records(const QList<File>& i_files)
{
    QByteArray l_records;
    for (const File& l_file : i_files)
        l_records += Messages::FileRecord(l_file);
    return l_records;
}

// Files in each list of the tests of the bounds on lists held.
constexpr int listFiles = 100000;

enum class ListCase
{
    NotAsked,
    Crowded,
    Twice,
    Forgotten,
    SeveralUsers,
    Deep,
    LongPaths
};

int Count(const char* ip_type)
{
    return int(d.GetType(ip_type)->ItemCount());
}

int OpenDescriptors()
{
    int l_count = 0;
    DIR* lp_folder = opendir("/proc/self/fd");
    while (const dirent* lp_entry = readdir(lp_folder))
        l_count += lp_entry->d_name[0] != '.';
    closedir(lp_folder);
    return l_count - 1;
}

// A peer on a plain socket that says who it is. Unless asked to read, it leaves what the client
// sends piling up; what it reads costs nothing beyond the first frame's header.
class DeafPeer
{
public:
    DeafPeer(quint16 i_port, const QByteArray& i_user, const QByteArray& i_type)
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        const int l_small = 4096;
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &l_small, sizeof l_small);
        sockaddr_in l_address{};
        l_address.sin_family = AF_INET;
        l_address.sin_port = htons(i_port);
        l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const QByteArray l_first = Messages::Frame(Messages::PeerInit(i_user, i_type));
        m_connected =
            ::connect(m_socket, reinterpret_cast<sockaddr*>(&l_address), sizeof l_address) == 0 &&
            ::send(m_socket, l_first.data(), size_t(l_first.size()), 0) > 0;
    }
    ~DeafPeer() { ::close(m_socket); }
    bool Connected() const { return m_connected; }
    void Send(const QByteArray& i_bytes)
    {
        ::send(m_socket, i_bytes.data(), size_t(i_bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // Reads until that many bytes have come in all; keeps the first frame's length and code.
    bool ReadUpTo(qint64 i_total)
    {
        return QTest::qWaitFor(
            [&]
            {
                char l_buffer[65536];
                ssize_t l_got = 0;
                while (m_read < i_total &&
                       (l_got = ::recv(m_socket, l_buffer, sizeof l_buffer, MSG_DONTWAIT)) > 0)
                {
                    if (m_read < 8)
                        m_head.append(l_buffer, qMin<qint64>(l_got, 8 - m_read));
                    m_read += l_got;
                }
                return m_read >= i_total;
            },
            timeoutMs);
    }
    QByteArray m_head;

private:
    int m_socket = -1;
    bool m_connected = false;
    qint64 m_read = 0;
};
} // namespace

class TestHostileInput : public QObject
{
    Q_OBJECT

    std::unique_ptr<PeerHarness> mp_harness;
    std::unique_ptr<TestPeer> mp_peer;
    PeerMessenger::Limits m_defaults;
    SharedFoldersManager::UserShareLimits m_shareLimits{};
    int m_shares = 0;
    AllocationProbe* mp_probe = nullptr;
    QTemporaryDir m_disk;

    PeerMessenger& Messenger() { return mp_harness->Messenger(); }

    int DialIn(const QByteArray& i_user)
    {
        const int l_connection = mp_harness->DialIn(*mp_peer, i_user, "P", false);
        return PeerHarness::SocketOf("peer_socket", i_user) ? l_connection : -1;
    }

    // Sends the bodies and then one that answers with a signal: once it comes, all were handled.
    bool Exchange(int i_connection, const QList<QByteArray>& i_bodies)
    {
        bool l_marked = false;
        QMetaObject::Connection l_marker =
            connect(&Messenger(), &PeerMessenger::UploadFailed, this,
                    [&](std::string, std::string i_file) { l_marked = i_file == "marker"; });
        for (const QByteArray& l_body : i_bodies + QList{Messages::UploadFailed("marker")})
            mp_peer->SendBody(i_connection, l_body);
        const bool l_done = QTest::qWaitFor([&] { return l_marked; }, timeoutMs);
        disconnect(l_marker);
        return l_done;
    }

    int ResultsOf(quint32 i_token, const std::string& i_user = std::string())
    {
        int l_count = 0;
        ItemPtr l_request = d.GetType("search_request")->HasItem(Value(i_token));
        for (Item* lp_results : l_request.GetItems("search_results"))
            if (i_user.empty() || ItemPtr(lp_results)["user"].AsString() == i_user)
                l_count += int(ItemPtr(lp_results).GetItems("search_result").size());
        return l_count;
    }

    static QByteArray Reply(const QByteArray& i_user, quint32 i_token, const QList<File>& i_files)
    {
        return Messages::FileSearchResult(
            Messages::SearchReplyContent(i_user, i_token, i_files, 1, 0, 0));
    }

    // A share of 4,000 files in 40 folders, made at the first call.
    void ShareThousands()
    {
        const std::string l_path = m_disk.path().toStdString();
        if (d.GetType("shared_folder")->HasItem(l_path))
            return;
        for (int l_index = 0; l_index < 4000; ++l_index)
        {
            const QString l_folder = m_disk.filePath(QStringLiteral("Album %1").arg(l_index / 100));
            QDir().mkpath(l_folder);
            QFile(l_folder + QStringLiteral("/Some Artist - Track %1.bin").arg(l_index % 100))
                .open(QIODevice::WriteOnly);
        }
        ItemPtr(d.GetType("shared_folder")->GetItem(l_path)) +=
            d.GetType("shared_public")->GetGlobalNullItem();
        sharedFoldersManager->AddSharedFiles(l_path, l_path);
    }

    int LinesContaining(const char* ip_text) const
    {
        return int(mp_harness->PeerLinesSinceMark().filter(QLatin1String(ip_text)).size());
    }

    QStringList SharedLines() const { return mp_harness->LogLines(QStringLiteral("Shared")); }

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<PeerHarness>(PeerHarness::Services::WholeClient);
        m_defaults = Messenger().GetLimits();
        m_shareLimits = sharedFoldersManager->GetUserShareLimits();
        connect(&Messenger(), &PeerMessenger::UserShare, this,
                [this](std::string, FileInfoMap&, AttributeTranslationTable&)
                {
                    if (mp_probe)
                        mp_probe->Stop();
                    ++m_shares;
                });
    }

    void init()
    {
        mp_peer = std::make_unique<TestPeer>();
        QVERIFY(mp_peer->Listen());
        Messenger().SetLimits(m_defaults);
        sharedFoldersManager->SetUserShareLimits(m_shareLimits);
        m_shares = 0;
        mp_harness->Mark();
    }

    void cleanup()
    {
        for (const char* lp_user : {"bob", "carol", "dave", "erin"})
            sharedFoldersManager->RemoveUserShare(lp_user);
        mp_peer.reset();
        mp_harness->ResetPeers();
    }

    void cleanupTestCase() { mp_harness.reset(); }

    void repeatsWithinOneReplyAreOneResult_data()
    {
        QTest::addColumn<QByteArray>("files");
        QTest::addColumn<int>("results");
        QTest::newRow("one record 20,000 times")
            << Records(DistinctFiles(1, "Music\\a")).repeated(20000) << 1;
        QTest::newRow("20,000 end markers") << QByteArray(20000, '\0') << 0;
        QTest::newRow("20,000 files keep the default cap")
            << Records(DistinctFiles(20000, "Huge\\")) << int(m_defaults.m_resultsPerUser);
    }

    void repeatsWithinOneReplyAreOneResult()
    {
        QFETCH(QByteArray, files);
        QFETCH(int, results);
        const quint32 l_token = mp_harness->Client().FileSearch("query", false);
        const QByteArray l_content =
            WireWriter().WriteString("bob").WriteU32(l_token).WriteU32(20000).Bytes() + files +
            QByteArray(9, '\0');
        QVERIFY(Exchange(DialIn("bob"), {Messages::FileSearchResult(l_content)}));
        QCOMPARE(ResultsOf(l_token), results);
    }

    void resultsHeldForOneSearchAreCapped()
    {
        PeerMessenger::Limits l_limits = m_defaults;
        l_limits.m_resultsPerUser = 50;
        l_limits.m_resultsPerSearch = 120;
        Messenger().SetLimits(l_limits);
        const quint32 l_token = mp_harness->Client().FileSearch("query", false);
        const int l_bob = DialIn("bob");
        QVERIFY(Exchange(l_bob, {Reply("bob", l_token, DistinctFiles(80)),
                                 Reply("bob", l_token, DistinctFiles(10, "Other\\"))}));
        QCOMPARE(ResultsOf(l_token, "bob"), 50);
        for (const char* lp_user : {"carol", "dave"})
            QVERIFY(Exchange(DialIn(lp_user), {Reply(lp_user, l_token, DistinctFiles(80))}));
        QCOMPARE(ResultsOf(l_token, "carol"), 50);
        QCOMPARE(ResultsOf(l_token, "dave"), 20);
        // One line for each user whose results were cut, however often.
        QCOMPARE(LinesContaining("sent more results for search"), 3);
        // Another search has room of its own.
        const quint32 l_other = mp_harness->Client().FileSearch("other", false);
        QVERIFY(Exchange(l_bob, {Reply("bob", l_other, DistinctFiles(5, "New\\"))}));
        QCOMPARE(ResultsOf(l_other, "bob"), 5);
    }

    // Decoding a realistic list holds a small multiple of the list at its peak; the items that
    // the sharing service makes of it are not decoding's.
    void shareListMemoryIsProportional()
    {
        QObject::disconnect(&Messenger(), &PeerMessenger::UserShare, sharedFoldersManager,
                            &SharedFoldersManager::OnUserShare);
        QList<Messages::Folder> l_folders;
        for (int l_folder = 0; l_folder < 50; ++l_folder)
            l_folders.append({"Music\\Artist " + QByteArray::number(l_folder),
                              DistinctFiles(1000, "Some Artist - Some Album Title - Track ")});
        const QByteArray l_content = Messages::ShareListContent(l_folders);
        const int l_bob = DialIn("bob");
        Messenger().GetUserSharedFiles("bob");
        AllocationProbe l_probe;
        mp_probe = &l_probe;
        QVERIFY(Exchange(l_bob, {Messages::SharedFileList(l_content)}));
        mp_probe = nullptr;
        QObject::connect(&Messenger(), &PeerMessenger::UserShare, sharedFoldersManager,
                         &SharedFoldersManager::OnUserShare);
        QCOMPARE(m_shares, 1);
        QVERIFY(l_probe.Peak() <= 3 * std::size_t(l_content.size()));
    }

    void shareListOfTooManyFilesIsRefused()
    {
        // Seven full folders of one-byte end markers, and an eighth that passes the cap.
        WireWriter l_content;
        l_content.WriteU32(8);
        for (int l_folder = 0; l_folder < 8; ++l_folder)
            l_content.WriteString("F" + QByteArray::number(l_folder))
                .WriteU32(131072)
                .WriteRaw(QByteArray(l_folder < 7 ? 131072 : 0, '\0'));
        const int l_bob = DialIn("bob");
        Messenger().GetUserSharedFiles("bob");
        QVERIFY(Exchange(l_bob, {Messages::SharedFileList(l_content.Bytes())}));
        QCOMPARE(m_shares, 0);
        QCOMPARE(LinesContaining("more than 1000000 files"), 1);
        QVERIFY(mp_peer->IsOpen(l_bob));
    }

    // A list that inflates far past its cap is refused at the cap, read through a small window.
    void shareListInflatingFarPastItsCap()
    {
        const QByteArray l_body = Messages::Message(
            5, Messages::CompressedZeros(quint64(8 * PeerMessenger::MaxShareListLength)));
        const int l_bob = DialIn("bob");
        Messenger().GetUserSharedFiles("bob");
        AllocationProbe l_probe;
        mp_peer->SendBody(l_bob, l_body);
        QVERIFY(
            QTest::qWaitFor([&] { return l_probe.Sample(), !mp_peer->IsOpen(l_bob); }, timeoutMs));
        l_probe.Stop();
        QCOMPARE(m_shares, 0);
        QVERIFY(l_probe.Peak() < 1 << 20);
        QVERIFY(l_probe.SampledPeak() < 8 * std::size_t(l_body.size()) + (8 << 20));
    }

    // Only a list asked for and still awaited is read; the files of all lists held together are
    // capped, and so are the paths of one list's folders, however deep they nest. A list refused
    // or not read holds nothing, and what reading it held at its peak stays near its size.
    void receivedListsAreBounded_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("kept");
        QTest::addColumn<QString>("line");
        // The most held at the peak beyond twice the message, in MiB; none when a list is kept.
        QTest::addColumn<int>("peak");
        const QString l_unasked = QStringLiteral("were not asked for");
        QTest::newRow("not asked for") << int(ListCase::NotAsked) << 0 << l_unasked << 4;
        QTest::newRow("request crowded out") << int(ListCase::Crowded) << 0 << l_unasked << 4;
        QTest::newRow("second list for one request")
            << int(ListCase::Twice) << 1 << l_unasked << -1;
        QTest::newRow("request forgotten with the share")
            << int(ListCase::Forgotten) << 0 << l_unasked << 4;
        QTest::newRow("several users")
            << int(ListCase::SeveralUsers) << 3
            << QStringLiteral("held from other users are more than 300000 files") << -1;
        QTest::newRow("deep nesting")
            << int(ListCase::Deep) << 0 << QStringLiteral("have folders more than 256 deep") << 4;
        QTest::newRow("long folder paths")
            << int(ListCase::LongPaths) << 0
            << QStringLiteral("have folder paths of more than 16777216 bytes") << 40;
    }

    void receivedListsAreBounded()
    {
        QFETCH(int, kind);
        QFETCH(int, kept);
        QFETCH(QString, line);
        QFETCH(int, peak);
        const auto l_case = ListCase(kind);
        QList<Messages::Folder> l_folders;
        if (l_case == ListCase::Deep)
            for (QByteArray l_path = "a"; l_folders.size() < 3000; l_path += "\\a")
                l_folders.append({l_path, {}});
        else if (l_case == ListCase::LongPaths)
            for (int l_index = 0; l_index < 200; ++l_index)
                l_folders.append({QByteArray(100000, 'x') + QByteArray::number(l_index), {}});
        else
            l_folders.append({"Music", DistinctFiles(listFiles)});
        const QByteArray l_body = Messages::SharedFileList(Messages::ShareListContent(l_folders));
        l_folders.clear();
        SharedFoldersManager::UserShareLimits l_limits = m_shareLimits;
        l_limits.m_allFiles = 3 * listFiles;
        sharedFoldersManager->SetUserShareLimits(l_limits);
        const QList<QByteArray> l_users = l_case == ListCase::SeveralUsers
                                              ? QList<QByteArray>{"bob", "carol", "dave", "erin"}
                                              : QList<QByteArray>{"bob"};
        QList<int> l_connections;
        for (const QByteArray& l_user : l_users)
            l_connections.append(DialIn(l_user));
        const qsizetype l_sharedLines = SharedLines().size();
        if (l_case == ListCase::Crowded)
        {
            PeerMessenger::Limits l_one = m_defaults;
            l_one.m_awaitedShareLists = 1;
            Messenger().SetLimits(l_one);
            Messenger().GetUserSharedFiles("bob");
            Messenger().GetUserSharedFiles("carol");
            QCOMPARE(LinesContaining("forgetting the one of user bob"), 1);
        }

        AllocationProbe l_probe;
        for (qsizetype l_index = 0; l_index < l_users.size(); ++l_index)
        {
            const std::string l_user = l_users[l_index].toStdString();
            if (l_case != ListCase::NotAsked && l_case != ListCase::Crowded)
                Messenger().GetUserSharedFiles(l_user);
            if (l_case == ListCase::Forgotten)
                sharedFoldersManager->RemoveUserShare(l_user);
            QVERIFY(Exchange(l_connections[l_index],
                             QList<QByteArray>(l_case == ListCase::Twice ? 2 : 1, l_body)));
        }
        l_probe.Stop();
        QCOMPARE(Count("user_share"), kept);
        QCOMPARE(Count("user_share_file"), kept * listFiles);
        QCOMPARE(LinesContaining(qPrintable(line)) +
                     SharedLines().mid(l_sharedLines).filter(line).size(),
                 1);
        if (peak >= 0)
            QVERIFY(l_probe.Peak() < 2 * std::size_t(l_body.size()) + (std::size_t(peak) << 20));
    }

    // Repeated requests for the file list are answered with the list kept from the first: each
    // allocates in proportion to the message, not to the index.
    void repeatedListRequestsAreCheap()
    {
        ShareThousands();
        DeafPeer l_peer(Messenger().ListeningPort(), "bob", "P");
        QVERIFY(l_peer.Connected());
        const QByteArray l_request = Messages::Frame(Messages::GetSharedFileList());
        l_peer.Send(l_request);
        QVERIFY(l_peer.ReadUpTo(8));
        QCOMPARE(qFromLittleEndian<quint32>(l_peer.m_head.constData() + 4), quint32(5));
        const qint64 l_frame = 4 + qFromLittleEndian<quint32>(l_peer.m_head.constData());
        QVERIFY(l_peer.ReadUpTo(l_frame));
        AllocationProbe l_repeated;
        l_peer.Send(l_request.repeated(20));
        QVERIFY(l_peer.ReadUpTo(l_frame * 21));
        l_repeated.Stop();
        QVERIFY(l_repeated.Allocated() / 20 < std::size_t(l_frame));
    }

    // A receiver that never reads is closed once what waits for it passes its bound: the heap
    // grows no further, and others are still served.
    void receiverThatNeverReadsIsClosed_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("most");
        QTest::newRow("peer asking for the list again and again") << 0 << 100000;
        QTest::newRow("peer sent long messages") << 1 << 256;
        QTest::newRow("child sent long searches") << 2 << 4096;
    }

    void receiverThatNeverReadsIsClosed()
    {
        QFETCH(int, kind);
        QFETCH(int, most);
        ShareThousands();
        PeerMessenger::Limits l_limits = m_defaults;
        l_limits.m_unsentBytes = 4 << 20;
        Messenger().SetLimits(l_limits);
        DeafPeer l_deaf(Messenger().ListeningPort(), "mallory", kind == 2 ? "D" : "P");
        QVERIFY(l_deaf.Connected());
        const char* const lp_type = kind == 2 ? "dnet_child" : "peer_socket";
        QTRY_COMPARE_WITH_TIMEOUT(Count(lp_type), 1, timeoutMs);
        const QByteArray l_request = Messages::Frame(Messages::GetSharedFileList());
        const QByteArray l_search = Messages::DistributedSearch("eve", 1, QByteArray(60000, 'q'));
        MemStream l_message;
        l_message.Write(quint32(52));
        l_message.WriteBuffer(QByteArray(1 << 20, 'x').constData(), 1 << 20);
        AllocationProbe l_probe;
        for (int l_sent = 0; Count(lp_type) == 1 && l_sent < most; ++l_sent)
        {
            l_probe.Sample();
            if (kind == 0)
                l_deaf.Send(l_request);
            else if (kind == 1)
                Messenger().SendMessage("mallory", l_message);
            else
            {
                MemStream l_copy;
                l_copy.WriteBuffer(l_search.constData(), l_search.size());
                dnetManager->SendMessageToChildren(l_copy);
            }
            QCoreApplication::processEvents();
        }
        l_probe.Stop();
        QCOMPARE(Count(lp_type), 0);
        if (kind != 2)
            QCOMPARE(LinesContaining("does not take what is sent to it"), 1);
        QVERIFY(l_probe.SampledPeak() < std::size_t(l_limits.m_unsentBytes) + (16 << 20));
        QVERIFY(Exchange(DialIn("bob"), {}));
    }

    void messagesWaitingForOneUserAreCapped()
    {
        MemStream l_message;
        l_message.Write(quint32(52));
        for (int l_index = 0; l_index < m_defaults.m_unsentMessagesPerUser + 10; ++l_index)
            Messenger().SendMessage("absent", l_message);
        QCOMPARE(int(d.GetType("user")->HasItem("absent").GetItems("unsent_message").size()),
                 int(m_defaults.m_unsentMessagesPerUser));
        QCOMPARE(LinesContaining("Too many messages wait for user absent"), 10);
    }

    void connectionsFromOneAddressAreCapped()
    {
        const int l_most = m_defaults.m_connectionsPerAddress;
        QList<int> l_connections;
        for (int l_index = 0; l_index <= l_most; ++l_index)
            l_connections.append(mp_peer->Dial(Messenger().ListeningPort(), false));
        QVERIFY(mp_peer->WaitForDisconnected(l_connections.last(), timeoutMs));
        QCOMPARE(Count("uninitialized_socket"), l_most);
        QCOMPARE(LinesContaining("too many from"), 1);
        // Once one has gone, another comes in.
        mp_peer->Abort(l_connections.first());
        QTRY_COMPARE_WITH_TIMEOUT(Count("uninitialized_socket"), l_most - 1, timeoutMs);
        QVERIFY(mp_peer->WaitForConnected(mp_peer->Dial(Messenger().ListeningPort(), false),
                                          timeoutMs));
        QTRY_COMPARE_WITH_TIMEOUT(Count("uninitialized_socket"), l_most, timeoutMs);
    }

    void descriptorsAreKeptInReserve()
    {
        rlimit l_limit{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &l_limit), 0);
        QCOMPARE(l_limit.rlim_cur, l_limit.rlim_max);
        const rlimit l_saved = l_limit;
        // Refusals are logged once a minute.
        mp_harness->AdvanceClock(60000);
        l_limit.rlim_cur = rlim_t(OpenDescriptors() + m_defaults.m_descriptorReserve + 1);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &l_limit), 0);
        const int l_refused = mp_peer->Dial(Messenger().ListeningPort(), false);
        const bool l_closed = mp_peer->WaitForDisconnected(l_refused, timeoutMs);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &l_saved), 0);
        QVERIFY(l_closed);
        QCOMPARE(LinesContaining("too few free descriptors"), 1);
        QVERIFY(DialIn("bob") > 0);
    }

    void onlyTheFirstPossibleParentsAreTried()
    {
        WireWriter l_parents;
        l_parents.WriteU32(50);
        for (int l_index = 0; l_index < 50; ++l_index)
            l_parents.WriteString("parent" + QByteArray::number(l_index))
                .WriteU32(0x7f000001)
                .WriteU32(PeerHarness::ClosedPort());
        QVERIFY(mp_harness->Deliver(mp_harness->CentralConnection(), 102, l_parents.Bytes()));
        int l_attempted = 0;
        for (Item* lp_user : d.GetType("user")->GetItems())
            l_attempted += ItemPtr(lp_user).IsConnected("attempted_dnet_connection");
        QCOMPARE(l_attempted, DNetManager::MaxParentAttempts);
    }

    // A long body that arrives slowly keeps a quiet connection alive.
    void slowLongBodyIsActivity()
    {
        const int l_bob = DialIn("bob");
        QTcpSocket* lp_socket = PeerHarness::SocketOf("peer_socket", "bob");
        mp_peer->SendRaw(l_bob, Messages::FrameHeader(300000) + QByteArray(50000, 'a'));
        QTRY_VERIFY_WITH_TIMEOUT(Messenger().ReceiveBufferCapacity(lp_socket) >= 50000, timeoutMs);
        mp_harness->AdvanceClock(110000);
        // The buffer doubles past 131,072 bytes only once they are all in, after the 102,400th.
        mp_peer->SendRaw(l_bob, QByteArray(90000, 'b'));
        QTRY_VERIFY_WITH_TIMEOUT(Messenger().ReceiveBufferCapacity(lp_socket) > 131072, timeoutMs);
        mp_harness->AdvanceClock(20000);
        PeerHarness::Tick();
        QVERIFY(PeerHarness::SocketOf("peer_socket", "bob", 0));
        mp_harness->AdvanceClock(120000);
        PeerHarness::Tick();
        QVERIFY(mp_peer->WaitForDisconnected(l_bob, timeoutMs));
    }
};

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostile.moc"
