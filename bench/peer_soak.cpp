// Load and faults on the client's two listening ports. A second process (forked before anything
// else starts) opens the connections on 127.0.0.1, half of them to the obfuscated port: most send
// a first message and then a stream of small peer messages for a bounded time; others send
// garbage, stop in the middle of a frame or never speak. The client runs in this process with its
// services made as the start-up of the application makes them, logged in to a test server; its
// steady clock is moved by hand so that the expiry passes end every connection once the load has
// stopped. Printed: messages handled per second, the peak RSS, the RSS once every connection is
// gone against the RSS before the first one came, and what is left: sockets, store items, file
// descriptors. A last round runs with logging to the pages turned off (lines are dropped where
// the view would take them), so that what the log costs shows beside the rate with it.
//
// Usage: peer_soak [--seconds N] [--connections N] [--rounds N]
// (defaults: 30 s, 1000 connections, 2 rounds with logging to the pages and then the one without:
// the second round shows whether what the first one left grows further).
#include "BenchOptions.h"
#include "Data.h"
#include "DiagnosticsForm.h"
#include "ForkedLoad.h"
#include "GeneralFunctions.h"
#include "LineReader.h"
#include "LogSink.h"
#include "ObjectCensus.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "ProcessFigures.h"
#include "StoreCensus.h"
#include "TestObfuscation.h"
#include "TestPeerMessages.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{
using Messages = TestPeerMessages;
using Clock = std::chrono::steady_clock;

// How many connections the load keeps waiting for their connect() at once, so that the
// listener's backlog never overflows.
constexpr int connectingAtOnce = 64;
// Messages per block that a streaming connection writes again and again, and how many blocks it
// lets wait for the client's answer.
constexpr int messagesPerBlock = 32;
constexpr long long blocksInFlight = 4;
// How long the load waits for the client to close what it left open.
constexpr int closeDeadlineSeconds = 120;
// Peer messages a second that the client handles while it logs to the pages.
constexpr long long messagesPerSecondAim = 120000;

struct Options
{
    int seconds = 30;
    int connections = 1000;
    int rounds = 2;
};

// What each connection of the load does.
enum class Kind
{
    Streaming,   // first message, then small messages until the time is up
    Garbage,     // random bytes
    MidFrame,    // stops in the middle of a frame (first message or later)
    FileNoToken, // a file connection that never sends its transfer token
    Silent       // connects and never speaks
};

Kind KindOf(int i_index, int i_connections)
{
    // 70 % streaming, 10 % garbage, 10 % in the middle of a frame (a quarter of which are file
    // connections without their token), 10 % silent.
    const int l_tenth = i_connections / 10;
    if (i_index < 7 * l_tenth)
        return Kind::Streaming;
    if (i_index < 8 * l_tenth)
        return Kind::Garbage;
    if (i_index < 9 * l_tenth)
        return i_index % 4 == 0 ? Kind::FileNoToken : Kind::MidFrame;
    return Kind::Silent;
}

// Line-based reports from the load to the client's process.
void Report(int i_pipe, const std::string& i_line)
{
    LineReader::Write(i_pipe, QByteArray::fromStdString(i_line));
}

// ---- The load (second process) ----

class Load
{
public:
    Load(const Options& i_options, quint16 i_plainPort, quint16 i_obfuscatedPort, int i_report)
        : m_options(i_options), m_ports{i_plainPort, i_obfuscatedPort}, m_report(i_report),
          m_random(0x2545f491u)
    {
        m_blocks[0] = Block(false);
        m_blocks[1] = Block(true);
    }

    // Opens every connection, streams for the time set, then waits until the client has closed
    // them (or the deadline has passed); reports both moments.
    void Run();

private:
    struct Connection
    {
        int fd = -1;
        Kind kind = Kind::Silent;
        bool obfuscated = false;
        bool connected = false;
        bool streaming = false;
        // What is being written is a block of messages (not the opening bytes).
        bool inBlock = false;
        long long blocksSent = 0;
        long long replies = 0;
        QByteArray out;
        qsizetype offset = 0;
        // The client's frames, counted as they complete.
        QByteArray in;
    };

    quint32 Random()
    {
        m_random ^= m_random << 13;
        m_random ^= m_random >> 17;
        m_random ^= m_random << 5;
        return m_random;
    }

    QByteArray Frame(const QByteArray& i_body, bool i_obfuscated)
    {
        return i_obfuscated ? Messages::ObfuscatedFrame(i_body, Random()) : Messages::Frame(i_body);
    }

    QByteArray RandomBytes(int i_count)
    {
        QByteArray l_bytes(i_count, '\0');
        for (char& l_byte : l_bytes)
            l_byte = char(Random());
        return l_bytes;
    }

    // One block of small messages, each of which becomes one signal of the messenger, and last a
    // request for the share list: the client's answer tells that it has handled the block.
    QByteArray Block(bool i_obfuscated)
    {
        QByteArray l_block;
        for (int l_index = 0; l_index < messagesPerBlock - 1; ++l_index)
        {
            QByteArray l_body;
            switch (l_index % 6)
            {
                case 0:
                    l_body = Messages::QueueUpload("Music\\a song.mp3");
                    break;
                case 1:
                    l_body = Messages::GetSharedFilesInFolder(Random(), "Music\\Albums");
                    break;
                case 2:
                    l_body = Messages::UploadPlaceInLine("Music\\a song.mp3", 3);
                    break;
                case 3:
                    l_body = Messages::UploadFailed("Music\\b song.mp3");
                    break;
                case 4:
                    l_body = Messages::UploadDenied("Music\\c song.mp3", "Queue full");
                    break;
                default:
                    l_body = Messages::TransferRequest(0, Random(), "Music\\d song.mp3", {});
                    break;
            }
            l_block += Frame(l_body, i_obfuscated);
        }
        return l_block + Frame(Messages::GetSharedFileList(), i_obfuscated);
    }

    QByteArray FirstMessage(int i_index, const QByteArray& i_type, bool i_obfuscated)
    {
        return Frame(Messages::PeerInit("soak" + QByteArray::number(i_index), i_type),
                     i_obfuscated);
    }

    // What a connection writes once connected.
    QByteArray Opening(int i_index, const Connection& i_connection)
    {
        const bool l_obfuscated = i_connection.obfuscated;
        switch (i_connection.kind)
        {
            case Kind::Streaming:
                return FirstMessage(i_index, "P", l_obfuscated);
            case Kind::Garbage:
                // Random from the first byte; a small length and a random body; a length the
                // client accepts and a body that never completes.
                if (i_index % 3 == 0)
                    return RandomBytes(200);
                if (i_index % 3 == 1)
                    return Frame(RandomBytes(100), l_obfuscated);
                return Frame(RandomBytes(5000), l_obfuscated).left(1000);
            case Kind::MidFrame:
            {
                if (i_index % 4 == 1)
                    return FirstMessage(i_index, "P", l_obfuscated).left(9);
                const QByteArray l_started =
                    FirstMessage(i_index, "P", l_obfuscated) + m_blocks[l_obfuscated];
                const QByteArray l_next = Frame(Messages::UploadFailed("cut"), l_obfuscated);
                // In the middle of the next frame's header, or of its body.
                return l_started + l_next.left(i_index % 4 == 2 ? 2 : l_next.size() - 3);
            }
            case Kind::FileNoToken:
                return FirstMessage(i_index, "F", l_obfuscated);
            case Kind::Silent:
                break;
        }
        return QByteArray();
    }

    void Watch(Connection& i_connection, quint32 i_events)
    {
        epoll_event l_event{};
        l_event.events = i_events;
        l_event.data.u64 = std::uint64_t(&i_connection - m_connections.data());
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, i_connection.fd, &l_event);
    }

    void Open(int i_index);
    void OnWritable(int i_index);
    void Pump(Connection& i_connection);
    void OnReadable(int i_index);
    void Close(Connection& i_connection);
    void CountReplies(Connection& i_connection);

    Options m_options;
    quint16 m_ports[2];
    int m_report;
    quint32 m_random;
    QByteArray m_blocks[2];
    std::vector<Connection> m_connections;
    int m_epoll = -1;
    int m_next = 0;
    int m_connecting = 0;
    int m_open = 0;
    int m_streaming = 0;
    bool m_timeUp = false;
    long long m_messagesSent = 0;
    long long m_replies = 0;
    long long m_closedByClient = 0;
    long long m_failedConnects = 0;
};

void Load::Open(int i_index)
{
    Connection& l_connection = m_connections[std::size_t(i_index)];
    l_connection.kind = KindOf(i_index, m_options.connections);
    l_connection.obfuscated = i_index % 2 == 1;
    l_connection.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (l_connection.fd < 0)
    {
        std::perror("socket");
        ++m_failedConnects;
        return;
    }
    sockaddr_in l_address{};
    l_address.sin_family = AF_INET;
    l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    l_address.sin_port = htons(m_ports[l_connection.obfuscated]);
    if (::connect(l_connection.fd, reinterpret_cast<sockaddr*>(&l_address), sizeof l_address) !=
            0 &&
        errno != EINPROGRESS)
    {
        std::perror("connect");
        ::close(l_connection.fd);
        l_connection.fd = -1;
        ++m_failedConnects;
        return;
    }
    epoll_event l_event{};
    l_event.events = EPOLLOUT;
    l_event.data.u64 = std::uint64_t(i_index);
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, l_connection.fd, &l_event);
    ++m_connecting;
    ++m_open;
}

void Load::OnWritable(int i_index)
{
    Connection& l_connection = m_connections[std::size_t(i_index)];
    if (!l_connection.connected)
    {
        int l_error = 0;
        socklen_t l_length = sizeof l_error;
        getsockopt(l_connection.fd, SOL_SOCKET, SO_ERROR, &l_error, &l_length);
        --m_connecting;
        l_connection.connected = true;
        if (l_error != 0)
        {
            ++m_failedConnects;
            Close(l_connection);
            return;
        }
        l_connection.out = Opening(i_index, l_connection);
        l_connection.streaming = l_connection.kind == Kind::Streaming;
        if (l_connection.streaming)
            ++m_streaming;
    }
    Pump(l_connection);
}

void Load::Pump(Connection& i_connection)
{
    // A few blocks at a time, so that one fast connection does not keep the others waiting.
    for (int l_round = 0; l_round < 8; ++l_round)
    {
        while (i_connection.offset < i_connection.out.size())
        {
            const ssize_t l_written =
                ::send(i_connection.fd, i_connection.out.constData() + i_connection.offset,
                       std::size_t(i_connection.out.size() - i_connection.offset), MSG_NOSIGNAL);
            if (l_written < 0)
            {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    Watch(i_connection, EPOLLIN | EPOLLOUT);
                else
                    Close(i_connection);
                return;
            }
            i_connection.offset += l_written;
        }
        if (i_connection.inBlock)
        {
            m_messagesSent += messagesPerBlock;
            ++i_connection.blocksSent;
            i_connection.inBlock = false;
        }
        // Once the time is up a streaming connection stays open without a word.
        if (i_connection.streaming && m_timeUp)
        {
            i_connection.streaming = false;
            --m_streaming;
        }
        // No more than a few blocks wait for the client, so that what the load has sent is what
        // the client has handled, give or take those.
        if (!i_connection.streaming ||
            i_connection.blocksSent - i_connection.replies >= blocksInFlight)
        {
            Watch(i_connection, EPOLLIN);
            return;
        }
        i_connection.out = m_blocks[i_connection.obfuscated];
        i_connection.inBlock = true;
        i_connection.offset = 0;
    }
    Watch(i_connection, EPOLLIN | EPOLLOUT);
}

void Load::CountReplies(Connection& i_connection)
{
    // Frames of the client: the length in the clear, or after a key that it is XORed with.
    for (;;)
    {
        const qsizetype l_header = i_connection.obfuscated ? 8 : 4;
        if (i_connection.in.size() < l_header)
            return;
        const QByteArray l_plain = i_connection.obfuscated
                                       ? TestObfuscation::Deobfuscate(i_connection.in.left(8))
                                       : i_connection.in.left(4);
        quint32 l_length = 0;
        std::memcpy(&l_length, l_plain.constData(), 4);
        l_length = qFromLittleEndian(l_length);
        if (i_connection.in.size() < l_header + qsizetype(l_length))
            return;
        i_connection.in.remove(0, l_header + qsizetype(l_length));
        ++i_connection.replies;
        ++m_replies;
    }
}

void Load::OnReadable(int i_index)
{
    Connection& l_connection = m_connections[std::size_t(i_index)];
    char l_buffer[65536];
    for (;;)
    {
        const ssize_t l_read = ::recv(l_connection.fd, l_buffer, sizeof l_buffer, 0);
        if (l_read > 0)
        {
            l_connection.in.append(l_buffer, l_read);
            CountReplies(l_connection);
            if (l_connection.streaming)
                Pump(l_connection);
            if (l_connection.fd < 0)
                return;
            continue;
        }
        if (l_read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // The client closed the connection (or reset it).
        ++m_closedByClient;
        if (l_connection.streaming)
        {
            l_connection.streaming = false;
            --m_streaming;
        }
        Close(l_connection);
        return;
    }
}

void Load::Close(Connection& i_connection)
{
    if (i_connection.fd < 0)
        return;
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, i_connection.fd, nullptr);
    ::close(i_connection.fd);
    i_connection.fd = -1;
    --m_open;
}

void Load::Run()
{
    m_connections.resize(std::size_t(m_options.connections));
    m_epoll = epoll_create1(0);
    const Clock::time_point l_start = Clock::now();
    const Clock::time_point l_end = l_start + std::chrono::seconds(m_options.seconds);
    bool l_reportedStreamed = false;
    Clock::time_point l_closeDeadline;
    std::vector<epoll_event> l_events(1024);
    for (;;)
    {
        while (m_next < m_options.connections && m_connecting < connectingAtOnce)
            Open(m_next++);
        const bool l_allOpened = m_next == m_options.connections && m_connecting == 0;
        if (!m_timeUp && Clock::now() >= l_end)
            m_timeUp = true;
        if (m_timeUp && l_allOpened && m_streaming == 0 && !l_reportedStreamed)
        {
            const double l_seconds = std::chrono::duration<double>(Clock::now() - l_start).count();
            Report(m_report, "streamed " + std::to_string(m_messagesSent) + ' ' +
                                 std::to_string(l_seconds) + ' ' +
                                 std::to_string(m_failedConnects) + ' ' + std::to_string(m_open));
            l_reportedStreamed = true;
            l_closeDeadline = Clock::now() + std::chrono::seconds(closeDeadlineSeconds);
        }
        if (l_reportedStreamed && (m_open == 0 || Clock::now() >= l_closeDeadline))
            break;
        const int l_count = epoll_wait(m_epoll, l_events.data(), int(l_events.size()), 100);
        for (int l_event = 0; l_event < l_count; ++l_event)
        {
            const int l_index = int(l_events[std::size_t(l_event)].data.u64);
            const quint32 l_flags = l_events[std::size_t(l_event)].events;
            if (m_connections[std::size_t(l_index)].fd >= 0 &&
                (l_flags & (EPOLLIN | EPOLLHUP | EPOLLERR)) &&
                m_connections[std::size_t(l_index)].connected)
                OnReadable(l_index);
            if (m_connections[std::size_t(l_index)].fd >= 0 &&
                (l_flags & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
                OnWritable(l_index);
        }
    }
    const int l_leftOpen = m_open;
    for (Connection& l_connection : m_connections)
        Close(l_connection);
    ::close(m_epoll);
    Report(m_report, "closed " + std::to_string(m_closedByClient) + ' ' +
                         std::to_string(l_leftOpen) + ' ' + std::to_string(m_replies));
}

// ---- The client (this process) ----

struct Counts
{
    ProcessFigures::MemoryFigures memory;
    long long objects = 0;
    long long sockets = 0;
    long long descriptors = 0;
    StoreCensus::Counts items;
};

Counts Measure()
{
    const StoreCensus::Counts l_items = StoreCensus::Take();
    Counts l_counts;
    l_counts.memory = ProcessFigures::Memory();
    l_counts.objects = ObjectCensus::Objects();
    l_counts.sockets = ObjectCensus::Sockets();
    l_counts.descriptors = ProcessFigures::Descriptors();
    l_counts.items = l_items;
    return l_counts;
}

// Items of the types that stand for connections and work in progress.
std::size_t LiveItems()
{
    return PeerHarness::ConnectionItems() + d.GetType("dnet_child")->ItemCount() +
           d.GetType("dnet_parent_candidate")->ItemCount();
}

// Prints what changed between two measurements.
void PrintChanges(const Counts& i_before, const Counts& i_after)
{
    const auto l_megabytes = [](long long i_kb) { return double(i_kb) / 1024.0; };
    std::printf("  RSS before / after:            %.1f MB / %.1f MB (%+.1f %%)\n",
                l_megabytes(i_before.memory.rssKb), l_megabytes(i_after.memory.rssKb),
                100.0 * double(i_after.memory.rssKb - i_before.memory.rssKb) /
                    double(i_before.memory.rssKb));
    std::printf("    of which private:            %.1f MB / %.1f MB\n",
                l_megabytes(i_before.memory.anonymousKb), l_megabytes(i_after.memory.anonymousKb));
    std::printf("    heap allocated:              %.2f MB / %.2f MB\n",
                l_megabytes(i_before.memory.heapInUseKb), l_megabytes(i_after.memory.heapInUseKb));
    std::printf("  sockets alive before / after:  %lld / %lld\n", i_before.sockets,
                i_after.sockets);
    std::printf("  objects alive before / after:  %lld / %lld\n", i_before.objects,
                i_after.objects);
    std::printf("  file descriptors before / after: %lld / %lld\n", i_before.descriptors,
                i_after.descriptors);
    std::printf("  connection items left:         %zu\n", LiveItems());
    std::printf("  store items before / after:    %zu / %zu\n", StoreCensus::Total(i_before.items),
                StoreCensus::Total(i_after.items));
    StoreCensus::PrintChanges(i_before.items, i_after.items);
}

int RunClient(int argc, char** argv, const Options& i_options, int i_toLoad, int i_fromLoad)
{
    // The real diagnostics view takes the log, on the offscreen platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication l_application(argc, argv);
    PeerHarness l_harness(PeerHarness::Services::WholeClient);
    DiagnosticsForm l_diagnostics;
    PeerMessenger& l_messenger = l_harness.Messenger();
    // The whole load comes from one address.
    PeerMessenger::Limits l_limits = l_messenger.GetLimits();
    l_limits.m_connectionsPerAddress = i_options.connections + 1;
    l_messenger.SetLimits(l_limits);

    long long l_handled = 0;
    QElapsedTimer l_sinceStart;
    qint64 l_lastHandled = 0;
    const auto l_count = [&]
    {
        ++l_handled;
        l_lastHandled = l_sinceStart.elapsed();
    };
    QObject::connect(&l_messenger, &PeerMessenger::SharedFilesInFolderRequested, l_count);
    QObject::connect(&l_messenger, &PeerMessenger::QueueUploadRequested, l_count);
    QObject::connect(&l_messenger, &PeerMessenger::DownloadPlaceInLine, l_count);
    QObject::connect(&l_messenger, &PeerMessenger::UploadFailed, l_count);
    QObject::connect(&l_messenger, &PeerMessenger::UploadDenied, l_count);
    QObject::connect(&l_messenger, &PeerMessenger::FileTransferRequested, l_count);

    // The load's reports, one line each.
    LineReader l_reports(i_fromLoad);

    // Real time on the client's clock while the load runs, with the 30 s tick.
    QTimer l_second;
    int l_seconds = 0;
    QObject::connect(&l_second, &QTimer::timeout,
                     [&]
                     {
                         l_harness.AdvanceClock(1000);
                         if (++l_seconds % 30 == 0)
                             PeerHarness::Tick();
                     });

    int l_streaming = 0;
    for (int l_index = 0; l_index < i_options.connections; ++l_index)
        l_streaming += KindOf(l_index, i_options.connections) == Kind::Streaming ? 1 : 0;
    std::printf("Peer soak: %d connections (%d streaming, half of all on the obfuscated port), "
                "%d s of load, %d rounds; the load runs in a second process\n",
                i_options.connections, l_streaming, i_options.seconds, i_options.rounds);

    const quint16 l_ports[2] = {l_messenger.ListeningPort(), l_messenger.ObfuscatedListeningPort()};
    const Counts l_start = Measure();
    Counts l_before = l_start;
    // Messages and milliseconds, with logging to the pages and without.
    long long l_loggedHandled = 0;
    qint64 l_loggedMs = 0;
    double l_unloggedRate = 0.0;
    for (int l_round = 1; l_round <= i_options.rounds + 1; ++l_round)
    {
        const bool l_logged = l_round <= i_options.rounds;
        gp_logSink = l_logged ? static_cast<LogSink*>(&l_diagnostics) : nullptr;
        l_handled = 0;
        l_lastHandled = 0;
        l_second.start(1000);
        l_sinceStart.start();
        if (::write(i_toLoad, l_ports, sizeof l_ports) != ssize_t(sizeof l_ports))
            std::perror("ports");
        const int l_waitMs = (i_options.seconds + 60) * 1000;
        const QByteArray l_streamedLine = l_reports.Next(l_waitMs);
        if (l_streamedLine.isEmpty())
            std::fprintf(stderr, "the load did not report\n");
        l_second.stop();
        const QStringList l_streamed = QString::fromLatin1(l_streamedLine).split(QLatin1Char(' '));
        const std::size_t l_liveAtEnd = LiveItems();

        // Expiry: each tick is 30 s later on the client's clock.
        int l_ticks = 0;
        while (LiveItems() != 0 && l_ticks < 20)
        {
            l_harness.AdvanceClock(30000);
            PeerHarness::Tick();
            ++l_ticks;
            if (QTest::qWaitFor([] { return LiveItems() == 0; }, 1000))
                break;
        }
        const QByteArray l_closedLine = l_reports.Next((closeDeadlineSeconds + 30) * 1000);
        if (l_closedLine.isEmpty())
            std::fprintf(stderr, "the load did not finish\n");
        const QStringList l_closed = QString::fromLatin1(l_closedLine).split(QLatin1Char(' '));
        const Counts l_after = Measure();

        const double l_rate =
            l_lastHandled > 0 ? double(l_handled) * 1000.0 / double(l_lastHandled) : 0.0;
        if (l_logged)
        {
            l_loggedHandled += l_handled;
            l_loggedMs += l_lastHandled;
        }
        else
            l_unloggedRate = l_rate;
        std::printf("Round %d%s:\n", l_round, l_logged ? "" : " (logging to the pages turned off)");
        std::printf("  load: %s messages sent in %.1f s, %s connects failed, %s answers read\n",
                    qPrintable(l_streamed.value(1)), l_streamed.value(2).toDouble(),
                    qPrintable(l_streamed.value(3)), qPrintable(l_closed.value(3)));
        std::printf("  messages handled:              %lld (%.0f per second)\n", l_handled, l_rate);
        std::printf("  peak RSS so far:               %.1f MB\n",
                    double(ProcessFigures::StatusKb("VmHWM")) / 1024.0);
        std::printf("  connection items when the load stopped: %zu; gone after %d expiry ticks "
                    "(%d s on the client's clock)\n",
                    l_liveAtEnd, l_ticks, 30 * l_ticks);
        std::printf("  connections closed by the client: %s; left open: %s\n",
                    qPrintable(l_closed.value(1)), qPrintable(l_closed.value(2)));
        PrintChanges(l_before, l_after);
        const long long l_logLines =
            static_cast<long long>(l_diagnostics.Lines(QStringLiteral("Peer Messenger")).size());
        const long long l_logCap = static_cast<long long>(DiagnosticsForm::MaxLinesPerPage);
        std::printf("  log lines kept:                %lld (at most %lld per page)\n", l_logLines,
                    l_logCap);
        const std::size_t l_left = LiveItems();
        std::printf("aim: peer soak connection items left after the round: %zu (aim 0): %s\n",
                    l_left, l_left == 0 ? "met" : "not met");
        std::printf("aim: peer soak log lines kept on one page: %lld (aim %lld): %s\n", l_logLines,
                    l_logCap, l_logLines <= l_logCap ? "met" : "not met");
        std::fflush(stdout);
        l_before = l_after;
    }
    gp_logSink = &l_diagnostics;
    std::printf("From the start to the end of the last round:\n");
    PrintChanges(l_start, l_before);
    const long long l_loggedRate =
        l_loggedMs > 0 ? qRound64(double(l_loggedHandled) * 1000.0 / double(l_loggedMs)) : 0;
    std::printf("aim: peer messages a second with logging to the pages: %s (aim %s): %s\n",
                qPrintable(CommafyNumber(l_loggedRate)),
                qPrintable(CommafyNumber(messagesPerSecondAim)),
                l_loggedRate >= messagesPerSecondAim ? "met" : "not met");
    std::printf("  the same run with logging to the pages turned off: %s peer messages a second\n",
                qPrintable(CommafyNumber(qRound64(l_unloggedRate))));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options l_options;
    BenchOptions::Parse(argc, argv,
                        {{"--seconds", &l_options.seconds, 1},
                         {"--connections", &l_options.connections, 10},
                         {"--rounds", &l_options.rounds, 1}});
    const unsigned long long l_limit = ProcessFigures::RaiseDescriptorLimit();
    if (l_limit < static_cast<unsigned long long>(l_options.connections) + 256)
        std::fprintf(stderr, "warning: only %llu file descriptors for %d connections\n", l_limit,
                     l_options.connections);

    // One round for each time the client sends the ports.
    const ForkedLoad::Ends l_load = ForkedLoad::Start(
        [&l_options](int i_fromClient, int i_toClient)
        {
            quint16 l_ports[2] = {0, 0};
            while (::read(i_fromClient, l_ports, sizeof l_ports) == ssize_t(sizeof l_ports))
            {
                Load l_round(l_options, l_ports[0], l_ports[1], i_toClient);
                l_round.Run();
            }
            return 0;
        });
    if (l_load.m_pid < 0)
        return 1;

    ObjectCensus::Start();
    const int l_result = RunClient(argc, argv, l_options, l_load.m_toLoad, l_load.m_fromLoad);
    ObjectCensus::Stop();
    ::close(l_load.m_toLoad);
    waitpid(l_load.m_pid, nullptr, 0);
    return l_result;
}
