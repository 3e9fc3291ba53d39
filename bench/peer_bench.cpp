// Cost of the peer layer's two heavy paths: obfuscating frames to send and de-obfuscating
// received ones, over 256 MiB of frames beside a memcpy of the same bytes in the same run; and
// turning a search reply (code 9) into store items, per file at two sizes, which must stay about
// the same when the reply grows tenfold.
#include "Data.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "PeerObfuscation.h"
#include "Server.h"
#include "ServerHarness.h"
#include "TestPeerMessages.h"

#include <QCoreApplication>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int rounds = 5;
constexpr qsizetype totalBytes = qsizetype(256) * 1024 * 1024;
constexpr qsizetype frameBody = 64 * 1024;

double Seconds(Clock::duration i_duration)
{
    return std::chrono::duration<double>(i_duration).count();
}

double MegabytesPerSecond(double i_seconds)
{
    return double(totalBytes) / (1024.0 * 1024.0) / i_seconds;
}

// The fastest of the rounds.
template <typename Work> double Best(Work i_work)
{
    double l_best = 1e300;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        const Clock::time_point l_start = Clock::now();
        i_work();
        l_best = std::min(l_best, Seconds(Clock::now() - l_start));
    }
    return l_best;
}

void Obfuscation()
{
    std::vector<char> l_source(static_cast<std::size_t>(totalBytes));
    for (std::size_t l_index = 0; l_index < l_source.size(); ++l_index)
        l_source[l_index] = char(l_index * 131 + (l_index >> 9));
    std::vector<char> l_copy(l_source.size());
    const qsizetype l_frames = totalBytes / frameBody;
    unsigned long long l_check = 0;

    // The same bytes copied from one large buffer into another, frame by frame.
    const double l_memcpy = Best(
        [&]
        {
            for (qsizetype l_frame = 0; l_frame < l_frames; ++l_frame)
                std::memcpy(l_copy.data() + l_frame * frameBody,
                            l_source.data() + l_frame * frameBody, std::size_t(frameBody));
            l_check += std::uint8_t(l_copy[std::size_t(totalBytes) / 3]);
        });
    // Sending: each body becomes a whole obfuscated frame in a new buffer, as the socket gets it.
    const double l_obfuscate = Best(
        [&]
        {
            for (qsizetype l_frame = 0; l_frame < l_frames; ++l_frame)
            {
                const QByteArray l_wire =
                    PeerObfuscation::Frame(l_source.data() + l_frame * frameBody, frameBody, true,
                                           0x9e3779b9u + quint32(l_frame));
                l_check += std::uint8_t(l_wire.at(l_wire.size() / 2));
            }
        });
    // Receiving: each body is decoded in place in its receive buffer.
    const double l_deobfuscate = Best(
        [&]
        {
            for (qsizetype l_frame = 0; l_frame < l_frames; ++l_frame)
                PeerObfuscation::Transform(l_copy.data() + l_frame * frameBody, frameBody,
                                           0x9e3779b9u + quint32(l_frame));
            l_check += std::uint8_t(l_copy[std::size_t(totalBytes) / 3]);
        });

    std::printf("Obfuscation of 256 MiB in frames of %lld KiB (best of %d):\n",
                static_cast<long long>(frameBody / 1024), rounds);
    std::printf("  memcpy of the same bytes:       %8.0f MB/s\n", MegabytesPerSecond(l_memcpy));
    std::printf("  obfuscating (frame built):      %8.0f MB/s  (%.2f x memcpy)\n",
                MegabytesPerSecond(l_obfuscate), l_memcpy / l_obfuscate);
    std::printf("  de-obfuscating (in place):      %8.0f MB/s  (%.2f x memcpy)\n",
                MegabytesPerSecond(l_deobfuscate), l_memcpy / l_deobfuscate);
    std::printf("  (checksum %llu)\n", l_check);
}

QByteArray SearchReply(int i_files, quint32 i_token)
{
    QList<TestPeerMessages::File> l_files;
    for (int l_index = 0; l_index < i_files; ++l_index)
    {
        TestPeerMessages::File l_file;
        l_file.name = "Music\\Artist " + QByteArray::number(l_index / 50) + "\\Track " +
                      QByteArray::number(l_index) + ".mp3";
        l_file.size = quint64(3000000 + l_index);
        l_file.extension = "mp3";
        l_file.attributes = {{0, 320}, {1, quint32(180 + l_index % 120)}, {2, 0}};
        l_files.append(l_file);
    }
    return TestPeerMessages::FileSearchResult(
        TestPeerMessages::SearchReplyContent("bench", i_token, l_files, 1, 50000, 2));
}

// Microseconds per file, the fastest round; each round is a new search of the same user.
double SearchReplyCost(ServerHarness& i_harness, QTcpSocket& i_socket, int i_files)
{
    double l_best = 1e300;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        const quint32 l_token = i_harness.Client().FileSearch("bench", false);
        const QByteArray l_body = SearchReply(i_files, l_token);
        MemStream l_message;
        l_message.WriteBuffer(l_body.constData(), static_cast<unsigned long>(l_body.size()));
        const Clock::time_point l_start = Clock::now();
        peerMessenger->HandleMessage(&i_socket, l_message);
        const double l_seconds = Seconds(Clock::now() - l_start);
        l_best = std::min(l_best, l_seconds * 1e6 / i_files);
        ItemPtr l_request = d.GetType("search_request")->HasItem(Value(l_token));
        if (l_request.GetItems("search_results").empty())
            std::fprintf(stderr, "no results were made\n");
        l_request.Remove();
        d.RemoveDisconnectedItems();
    }
    return l_best;
}

void SearchReplies()
{
    ServerHarness l_harness;
    QTcpSocket l_socket;
    ItemPtr l_item = d.GetType("peer_socket")->NewItem(Value(&l_socket));
    l_item += d.GetType("user")->GetItem("bench");

    constexpr int smallReply = 1000;
    constexpr int largeReply = 10000;
    const double l_small = SearchReplyCost(l_harness, l_socket, smallReply);
    const double l_large = SearchReplyCost(l_harness, l_socket, largeReply);
    std::printf("Search reply (code 9) into store items (best of %d):\n", rounds);
    std::printf("  %6d files: %8.3f us per file\n", smallReply, l_small);
    std::printf("  %6d files: %8.3f us per file\n", largeReply, l_large);
    std::printf("  ratio of the per-file costs: %.2f\n", l_large / l_small);
    l_item.Remove();
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_application(argc, argv);
    Obfuscation();
    SearchReplies();
    return 0;
}
