// Many transfers at once through the client's download and upload paths on 127.0.0.1, with many
// idle peer connections held open to its messenger meanwhile. Each of N other users (test peers
// logged in to the test server) offers this client one file and queues one of its shared files:
// the download arrives over a file connection from a sender thread, the upload leaves over a file
// connection that the client opens to a receiver thread that drops the bytes. Files live on
// /dev/shm when it exists; the sources are sparse. After each round every transfer is removed,
// the users leave, the idle connections close and the client's clock is moved on so that its
// expiry passes end whatever is left. Printed: the total throughput, the peak RSS, the RSS before
// the first round and after each one, and what each round left: descriptors, threads, QObjects,
// connection items, transfer items. The exit status is 1 when anything was left or a round failed.
// The RSS after a round holds what the allocator's per-thread arenas keep free at their tops,
// which malloc_trim leaves alone; the heap in use is what the program holds. Run with
// GLIBC_TUNABLES=glibc.malloc.arena_max=1 to see the RSS without that reserve.
//
// Usage: transfer_soak [--transfers N] [--megabytes N] [--idle N] [--rounds N]
// (defaults: 50 downloads and 50 uploads of 20 MB, 500 idle connections, 2 rounds).
#include "BenchOptions.h"
#include "Data.h"
#include "FileConnectionReceiver.h"
#include "FileConnectionSender.h"
#include "ObjectCensus.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "ProcessFigures.h"
#include "SharedFoldersManager.h"
#include "StoreCensus.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "WireReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr quint32 offerCode = 40;
constexpr quint32 offerAnswerCode = 41;
// Idle connections dialed at once, each batch taken by the client before the next, so that the
// listener's backlog never overflows.
constexpr int connectingAtOnce = 32;
constexpr int waitMs = 60000;

struct Options
{
    int transfers = 50;
    int megabytes = 20;
    int idle = 500;
    int rounds = 2;
};

const char* const g_transferTypes[] = {
    "download_entry", "upload_entry",   "complete_download", "download_socket",    "upload_socket",
    "download_file",  "upload_file",    "download_thread",   "upload_thread",      "write_position",
    "read_position",  "bytes_uploaded", "transfer_req",      "remote_transfer_req"};

std::size_t TransferItems()
{
    std::size_t l_count = 0;
    for (const char* lp_type : g_transferTypes)
        l_count += d.GetType(lp_type)->ItemCount();
    return l_count;
}

QByteArray UserName(const char* ip_prefix, int i_index)
{
    return ip_prefix + QByteArray::number(i_index);
}

// Connections that send the first message of a messaging connection and then nothing.
class IdleConnections
{
public:
    ~IdleConnections() { Close(); }

    // False when the client did not take them all in time.
    bool Open(quint16 i_port, int i_count)
    {
        sockaddr_in l_address{};
        l_address.sin_family = AF_INET;
        l_address.sin_port = htons(i_port);
        l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::size_t l_base = d.GetType("peer_socket")->ItemCount();
        for (int l_first = 0; l_first < i_count; l_first += connectingAtOnce)
        {
            const int l_end = std::min(i_count, l_first + connectingAtOnce);
            std::vector<pollfd> l_batch;
            for (int l_index = l_first; l_index < l_end; ++l_index)
            {
                const int l_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                if (l_socket < 0)
                    return false;
                m_sockets.push_back(l_socket);
                if (::connect(l_socket, reinterpret_cast<sockaddr*>(&l_address),
                              sizeof l_address) != 0 &&
                    errno != EINPROGRESS)
                    return false;
                l_batch.push_back({l_socket, POLLOUT, 0});
            }
            const bool l_connected = QTest::qWaitFor(
                [&] { return ::poll(l_batch.data(), l_batch.size(), 0) == int(l_batch.size()); },
                waitMs);
            if (!l_connected)
                return false;
            for (int l_index = l_first; l_index < l_end; ++l_index)
            {
                const QByteArray l_first = TestPeerMessages::Frame(
                    TestPeerMessages::PeerInit(UserName("idle", l_index), "P"));
                if (::write(m_sockets[std::size_t(l_index)], l_first.constData(),
                            std::size_t(l_first.size())) != l_first.size())
                    return false;
            }
            if (!QTest::qWaitFor(
                    [&] {
                        return d.GetType("peer_socket")->ItemCount() >= l_base + std::size_t(l_end);
                    },
                    waitMs))
                return false;
        }
        return true;
    }

    void Close()
    {
        for (int l_socket : m_sockets)
            ::close(l_socket);
        m_sockets.clear();
    }

private:
    std::vector<int> m_sockets;
};

struct Counts
{
    ProcessFigures::MemoryFigures memory;
    long long descriptors = 0;
    long long threads = 0;
    long long objects = 0;
    long long sockets = 0;
    std::map<std::string, long long> classes;
    std::size_t connectionItems = 0;
    std::size_t transferItems = 0;
    StoreCensus::Counts items;
};

Counts Measure()
{
    const StoreCensus::Counts l_items = StoreCensus::Take();
    Counts l_counts;
    l_counts.memory = ProcessFigures::Memory();
    l_counts.descriptors = ProcessFigures::Descriptors();
    l_counts.threads = ProcessFigures::Threads();
    l_counts.objects = ObjectCensus::Objects();
    l_counts.sockets = ObjectCensus::Sockets();
    l_counts.classes = ObjectCensus::ByClass();
    l_counts.connectionItems = PeerHarness::ConnectionItems();
    l_counts.transferItems = TransferItems();
    l_counts.items = l_items;
    return l_counts;
}

class Soak
{
public:
    Soak(const Options& i_options, const QString& i_folder)
        : m_options(i_options), m_size(qint64(i_options.megabytes) << 20), m_folder(i_folder)
    {
        PeerMessenger::Limits l_limits = m_harness.Messenger().GetLimits();
        l_limits.m_connectionsPerAddress = i_options.idle + 4 * i_options.transfers + 16;
        m_harness.Messenger().SetLimits(l_limits);
        TestSettings::SetSetting("download_folder", Downloads());
        m_manager.SetUploadSlots(std::min(i_options.transfers, 99));
        QObject::connect(&m_manager, &TransferQueueManager::CompleteDownloadAdded,
                         [this](ItemPtr) { ++m_completeDownloads; });
    }

    // Sparse sources: one for every download, one shared file per upload.
    bool MakeFiles()
    {
        if (!QDir().mkpath(Share()))
            return false;
        QFile l_source(Source());
        if (!l_source.open(QIODevice::WriteOnly) || !l_source.resize(m_size))
            return false;
        for (int l_index = 0; l_index < m_options.transfers; ++l_index)
        {
            QFile l_file(Share() + QStringLiteral("/u%1.bin").arg(l_index));
            if (!l_file.open(QIODevice::WriteOnly) || !l_file.resize(m_size))
                return false;
        }
        ItemPtr(d.GetType("shared_folder")->GetItem(Share().toStdString())) +=
            d.GetType("shared_public")->GetGlobalNullItem();
        sharedFoldersManager->AddSharedFiles(Share().toStdString(), Share().toStdString());
        return true;
    }

    // The milliseconds from the first offer to the last transfer done, or -1.
    qint64 Round(int i_round)
    {
        Start();
        qint64 l_elapsed = -1;
        if (m_idle.Open(m_harness.Messenger().ListeningPort(), m_options.idle))
            l_elapsed = Transfer(i_round);
        else
            std::printf("  the client did not take the idle connections\n");
        End();
        return l_elapsed;
    }

    // The expiry passes that the client needed to end what the users left; their count.
    int Expire()
    {
        int l_ticks = 0;
        for (; l_ticks < 20 && PeerHarness::ConnectionItems() != 0; ++l_ticks)
        {
            m_harness.AdvanceClock(30000);
            PeerHarness::Tick();
            (void)QTest::qWaitFor([] { return PeerHarness::ConnectionItems() == 0; }, 1000);
        }
        return l_ticks;
    }

    // The log lines that the test harness keeps, every one (the client's log view keeps a bounded
    // number): their count and their text's size in kB.
    std::pair<qsizetype, qsizetype> HarnessLog() const
    {
        qsizetype l_lines = 0;
        qsizetype l_characters = 0;
        for (const char* lp_category : {"Peer Messenger", "Transfer Queue", "server", "Shared"})
            for (const QString& l_line : m_harness.LogLines(QLatin1String(lp_category)))
            {
                ++l_lines;
                l_characters += l_line.size();
            }
        return {l_lines, l_characters * qsizetype(sizeof(QChar)) / 1024};
    }

private:
    QString Share() const { return m_folder + QStringLiteral("/share"); }
    QString Source() const { return m_folder + QStringLiteral("/source"); }
    QString Downloads() const { return m_folder + QStringLiteral("/D"); }

    // The users log in; each one's listening port passes to the receiver of its upload. A user
    // keeps the port of its first round, as another user's client keeps its port from session to
    // session: the client remembers the address it was told and dials it directly.
    void Start()
    {
        m_completeDownloads = 0;
        for (int l_index = 0; l_index < m_options.transfers; ++l_index)
        {
            auto lp_peer = std::make_unique<TransferPeer>(m_harness, UserName("soak", l_index));
            lp_peer->SetOnline(true);
            if (m_ports.size() == std::size_t(l_index))
                m_ports.push_back(lp_peer->Peer().PlainPort());
            const quint16 l_port = m_ports[std::size_t(l_index)];
            lp_peer->Peer().StopListening();
            m_receivers.push_back(
                std::make_unique<FileConnectionReceiver>(m_size, QString(), l_port));
            if (!m_receivers.back()->IsListening())
                std::printf("  a receiver could not listen on port %u\n", unsigned(l_port));
            m_receivers.back()->start();
            m_peers.push_back(std::move(lp_peer));
        }
    }

    qint64 Transfer(int i_round)
    {
        const int l_count = m_options.transfers;
        const QByteArray l_remoteShare = (Share() + QLatin1Char('/')).toUtf8().replace('/', '\\');
        QElapsedTimer l_timer;
        l_timer.start();
        for (int l_index = 0; l_index < l_count; ++l_index)
        {
            // The user's messaging connection comes first, so that the client has no cause to
            // dial one of its own to the port where the receiver waits.
            TransferPeer& l_peer = *m_peers[std::size_t(l_index)];
            l_peer.Queue(l_remoteShare + "u" + QByteArray::number(l_index) + ".bin");
            const QByteArray l_name = "d" + QByteArray::number(l_index) + ".bin";
            m_manager.AddDownload(UserName("soak", l_index).toStdString(), l_name.toStdString(),
                                  "files", m_size, 0);
            l_peer.Offer(Token(i_round, l_index), "files\\" + l_name, quint64(m_size));
        }
        for (int l_index = 0; l_index < l_count; ++l_index)
        {
            TransferPeer& l_peer = *m_peers[std::size_t(l_index)];
            if (!l_peer.Take(offerAnswerCode, waitMs))
                return Failed("no answer to a download offer");
            m_senders.push_back(std::make_unique<FileConnectionSender>(
                m_harness.Messenger().ListeningPort(), UserName("soak", l_index),
                Token(i_round, l_index)));
            m_senders.back()->SetSourceFile(Source());
            m_senders.back()->start();
        }
        for (int l_index = 0; l_index < l_count; ++l_index)
        {
            TransferPeer& l_peer = *m_peers[std::size_t(l_index)];
            const auto l_offer = l_peer.Take(offerCode, waitMs);
            if (!l_offer)
                return Failed("no upload offer");
            WireReader l_reader(*l_offer);
            l_reader.ReadU32();
            l_peer.Accept(l_reader.ReadU32());
        }
        const bool l_done = QTest::qWaitFor(
            [&]
            {
                if (m_completeDownloads < l_count)
                    return false;
                for (const auto& lp_receiver : m_receivers)
                    if (!lp_receiver->isFinished())
                        return false;
                return UploadsComplete() == l_count;
            },
            std::max(waitMs, 50 * l_count * m_options.megabytes));
        const qint64 l_elapsed = l_timer.elapsed();
        if (l_done)
            for (int l_index = 0; l_index < l_count; ++l_index)
                if (m_receivers[std::size_t(l_index)]->Received() != m_size ||
                    QFile(Downloads() + QStringLiteral("/complete/files/d%1.bin").arg(l_index))
                            .size() != m_size)
                    return Failed("a file arrived short or long");
        if (!l_done)
            return Failed(qPrintable(QStringLiteral("%1 downloads and %2 uploads complete")
                                         .arg(m_completeDownloads)
                                         .arg(UploadsComplete())));
        return l_elapsed;
    }

    // Removes every transfer, lets the users leave and closes the idle connections.
    void End()
    {
        for (Item* lp_download : d.GetType("download_entry")->GetItems())
            m_manager.RemoveDownload(lp_download);
        d.GetType("complete_download")->GetItems().Remove();
        for (Item* lp_upload : d.GetType("upload_entry")->GetItems())
            m_manager.RemoveUpload(lp_upload);
        for (const auto& lp_sender : m_senders)
            if (!lp_sender->Finish(waitMs))
                std::printf("  a sender did not end\n");
        // A receiver still waiting for its connection ends when the time-out passes.
        for (const auto& lp_receiver : m_receivers)
            if (!QTest::qWaitFor([&] { return lp_receiver->isFinished(); }, waitMs))
                std::printf("  a receiver did not end\n");
        m_senders.clear();
        m_receivers.clear();
        m_peers.clear();
        m_idle.Close();
        QDir(Downloads()).removeRecursively();
    }

    static int UploadsComplete()
    {
        int l_complete = 0;
        for (Item* lp_upload : d.GetType("upload_entry")->GetItems())
            l_complete += ItemPtr(lp_upload)["upload_entry_status"].AsString() == "complete";
        return l_complete;
    }

    static quint32 Token(int i_round, int i_index) { return quint32(i_round * 100000 + i_index); }

    static qint64 Failed(const char* ip_what)
    {
        std::printf("  round failed: %s\n", ip_what);
        return -1;
    }

    Options m_options;
    qint64 m_size;
    QString m_folder;
    PeerHarness m_harness;
    TransferQueueManager m_manager;
    IdleConnections m_idle;
    int m_completeDownloads = 0;
    std::vector<quint16> m_ports;
    std::vector<std::unique_ptr<TransferPeer>> m_peers;
    std::vector<std::unique_ptr<FileConnectionSender>> m_senders;
    std::vector<std::unique_ptr<FileConnectionReceiver>> m_receivers;
};

void PrintCounts(const char* ip_when, const Counts& i_counts)
{
    std::printf(
        "  %-22s RSS %.1f MB (private %.1f MB, shared memory %.1f MB, heap in use %.1f MB), "
        "descriptors %lld, threads %lld, objects %lld (sockets %lld), connection items %zu, "
        "transfer items %zu, store items %zu\n",
        ip_when, double(i_counts.memory.rssKb) / 1024.0,
        double(i_counts.memory.anonymousKb) / 1024.0, double(i_counts.memory.shmemKb) / 1024.0,
        double(i_counts.memory.heapInUseKb) / 1024.0, i_counts.descriptors, i_counts.threads,
        i_counts.objects, i_counts.sockets, i_counts.connectionItems, i_counts.transferItems,
        StoreCensus::Total(i_counts.items));
}

// Prints the types that grew and returns whether anything was left over against the start.
bool LeftOver(const Counts& i_start, const Counts& i_before, const Counts& i_after,
              bool i_storeMayGrow)
{
    StoreCensus::PrintChanges(i_before.items, i_after.items);
    ObjectCensus::PrintChanges(i_before.classes, i_after.classes);
    return i_after.descriptors > i_start.descriptors || i_after.threads > i_start.threads ||
           i_after.objects > i_start.objects || i_after.connectionItems != 0 ||
           i_after.transferItems != 0 ||
           (!i_storeMayGrow &&
            StoreCensus::Total(i_after.items) > StoreCensus::Total(i_before.items));
}

int Run(int argc, char** argv, const Options& i_options)
{
    QCoreApplication l_application(argc, argv);
    const QString l_base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    QTemporaryDir l_dir(l_base + QStringLiteral("/transfer_soak-XXXXXX"));
    if (!l_dir.isValid())
        return 1;
    Soak l_soak(i_options, l_dir.path());
    if (!l_soak.MakeFiles())
        return 1;
    std::printf("Transfer soak: %d downloads and %d uploads of %d MiB at once, %d idle connections "
                "to the messenger, %d rounds\n",
                i_options.transfers, i_options.transfers, i_options.megabytes, i_options.idle,
                i_options.rounds);
    const Counts l_start = Measure();
    PrintCounts("before the first round:", l_start);
    Counts l_before = l_start;
    bool l_failed = false;
    for (int l_round = 1; l_round <= i_options.rounds; ++l_round)
    {
        const qint64 l_elapsed = l_soak.Round(l_round);
        // The client sees the closes first; indirect requests that no one answered wait for
        // their expiry.
        (void)QTest::qWaitFor([] { return PeerHarness::ConnectionItems() == 0; }, 2000);
        const std::size_t l_connectionsAtEnd = PeerHarness::ConnectionItems();
        const int l_ticks = l_soak.Expire();
        const Counts l_after = Measure();
        if (l_elapsed >= 0)
        {
            const double l_megabytes =
                double(2 * i_options.transfers) * double(i_options.megabytes);
            std::printf("Round %d: %.0f MiB in %lld ms: %.0f MiB/s in total\n", l_round,
                        l_megabytes, l_elapsed, l_megabytes * 1000.0 / double(l_elapsed));
        }
        std::printf(
            "  connection items once the users had left: %zu; expiry passes that ended them: %d\n",
            l_connectionsAtEnd, l_ticks);
        std::printf("  peak RSS so far: %.1f MB\n",
                    double(ProcessFigures::StatusKb("VmHWM")) / 1024.0);
        PrintCounts("after the round:", l_after);
        const auto [l_logLines, l_logKb] = l_soak.HarnessLog();
        std::printf("  log lines kept by the test harness (test side): %lld, %lld kB of text\n",
                    static_cast<long long>(l_logLines), static_cast<long long>(l_logKb));
        const bool l_leftOver = LeftOver(l_start, l_before, l_after, l_round == 1);
        std::printf("  RSS %+.1f MB against the round before; %s\n",
                    double(l_after.memory.rssKb - l_before.memory.rssKb) / 1024.0,
                    l_leftOver ? "SOMETHING WAS LEFT OVER" : "nothing left over");
        std::fflush(stdout);
        l_failed = l_failed || l_elapsed < 0 || l_leftOver;
        l_before = l_after;
    }
    return l_failed ? 1 : 0;
}
} // namespace

int main(int argc, char** argv)
{
    Options l_options;
    BenchOptions::Parse(argc, argv,
                        {{"--transfers", &l_options.transfers, 1},
                         {"--megabytes", &l_options.megabytes, 1},
                         {"--idle", &l_options.idle, 0},
                         {"--rounds", &l_options.rounds, 1}});
    ProcessFigures::RaiseDescriptorLimit();
    ObjectCensus::Start();
    const int l_result = Run(argc, argv, l_options);
    ObjectCensus::Stop();
    return l_result;
}
